#include "Quellon/ObjMesh.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <tiny_obj_loader.h>

#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace Quellon {
namespace {

namespace fs = std::filesystem;
using Indices = std::vector<std::int32_t>;

// An OBJ text in a file of its own, removed again afterwards; the process id keeps test
// processes that CTest runs side by side apart.
class ObjFile {
public:
    explicit ObjFile(const std::string& text, const std::string& stem = "mesh") {
        static int counter = 0;
        m_path = fs::temp_directory_path() /
                 ("avidrift-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + stem);
        std::ofstream(m_path, std::ios::binary) << text;
    }
    ~ObjFile() { fs::remove(m_path); }
    std::wstring Name() const { return Utf8ToWide(m_path.string()); }

private:
    fs::path m_path;
};

ObjMesh Load(const std::string& text) {
    return ObjMesh(ObjFile(text).Name());
}

// The message, and the errno it carries, which the error box shows as its caption.
std::pair<std::wstring, std::uint32_t> LoadError(const std::wstring& fileName) {
    try {
        ObjMesh mesh(fileName);
    } catch (const Exception& e) {
        return {e.GetMessage(), e.GetErrorCode()};
    }
    return {L"no exception", 0};
}

std::vector<float> Flat(const std::vector<Vector3>& vectors) {
    std::vector<float> floats;
    for (const Vector3& v : vectors) {
        floats.insert(floats.end(), {v.x, v.y, v.z});
    }
    return floats;
}

const std::string kPositions = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";

// Numbers in every spelling exporters use; a fourth one (w) is allowed; numbers too small for a
// float, or even a double, read as zero.
TEST(ObjMesh, ReadsOnlyPositionAndNormalKeywords) {
    const ObjMesh mesh = Load(
        "mtllib a.mtl\no teapot\ng body\nusemtl china\ns 1\nv 1e-3 2E2 +2\nvt 0.5 0.5\n"
        "vp 0.1 0.2 0.3\nvx 7 7 7\nv -.5 3. 6 1\nvn 0 0 1\nvt 1 1\nvn 0 2 0\nl 1 2\n"
        "v 1e-50 -1e-400 2\nvn 1e-50 -1e-400 2\nf 1 2 1\n");
    EXPECT_EQ((std::vector<float>{0.001f, 200, 2, -0.5f, 3, 6, 0, 0, 2}),
              Flat(mesh.GetPositions()));
    EXPECT_EQ((std::vector<float>{0, 0, 1, 0, 2, 0, 0, 0, 2}), Flat(mesh.GetNormals()));
}

TEST(ObjMesh, LineLayoutDoesNotChangeTheMesh) {
    for (const char* text : {
             "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3",
             "v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\nf 1 2 3\r\n",
             "\n\n  \r\n\tv 0 0 0\nv\t1\t0\t0\nv 0 1 0 # apex\nf 1 2 3\n",
             "# a comment\tv 9 9 9\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
             "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
             "v 0 0 0\nv 1 0 \\\r\n0\nv 0 1 0\nf 1 \\\n2 \\\n3 \\",
         }) {
        const ObjMesh mesh = Load(text);
        EXPECT_EQ((std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}), Flat(mesh.GetPositions()));
        EXPECT_EQ((Indices{0, 1, 2}), mesh.GetIndices()) << text;
    }
}

TEST(ObjMesh, ReadsFacesAsFansOfPositionNumbers) {
    const struct {
        std::string text;
        Indices indices;
    } cases[] = {
        {kPositions + "f 1/1 2/2 3/3", {0, 1, 2}},
        {kPositions + "f 1//1 2//2 3//3", {0, 1, 2}},
        {kPositions + "f 1/3/1 2/2/2 +3/1/3", {0, 1, 2}},
        {"f 3 2 1\n" + kPositions, {2, 1, 0}},
        {kPositions + "v 1 1 0\nv 2 2 0\nf 1 2 3 4 5", {0, 1, 2, 0, 2, 3, 0, 3, 4}},
        // Relative numbers count back from the latest position read so far.
        {kPositions + "f -3 -2/-1 -1//-3\nv 1 1 0\nf -4 -1 -2", {0, 1, 2, 0, 3, 2}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.indices, Load(c.text).GetIndices()) << c.text;
    }
}

TEST(ObjMesh, RejectsMalformedStatementsNamingTheFileAndLine) {
    const struct {
        std::string text;
        const wchar_t* message;
        int error = EINVAL;
    } cases[] = {
        {"v 1 x 3", L"Invalid number at line 1"},
        {"v 1.0abc 2 3", L"Invalid number at line 1"},
        {"\n# c\nv 1 2 3 q", L"Invalid number at line 3"},
        {"v nan 0 0", L"Invalid number at line 1"},
        {"v 0 0 1e39", L"Invalid number at line 1"},
        {"v 1 2 3\r\nv 1 2\r\n", L"Too few numbers at line 2"},
        {kPositions + "f 1 2", L"Too few face vertices at line 4"},
        {kPositions + "f 1 2 x", L"Invalid number at line 4"},
        {kPositions + "f 1/ 2 3", L"Invalid number at line 4"},
        {kPositions + "f 1/1/1/1 2 3", L"Invalid number at line 4"},
        {kPositions + "f 1 0 2", L"Invalid face index 0 at line 4"},
        {kPositions + "f 1 2 99999999999", L"Invalid face index 99999999999 at line 4"},
        {kPositions + "f -1 -2 -4", L"Invalid face index -4 at line 4"},
        {"f -1 -1 -1\n" + kPositions, L"Invalid face index -1 at line 1"},
        // A continued statement is named by the line it starts on.
        {"v 1 2 3\nv 1 \\\n2 \\\nx\nv 1", L"Invalid number at line 2"},
        {"", L"No faces", ENODATA},
        {"\n\r\n\t\n# nothing here\n", L"No faces", ENODATA},
        {kPositions + "l 1 2\np 3\n", L"No faces", ENODATA},
        // Faces may name positions that come later, and are checked once the file is read.
        {"f 1 2 3\nf 1 2 5\n" + kPositions + "v 1 1 1\n", L"Invalid face index 5 at line 2"},
    };
    for (const auto& c : cases) {
        const ObjFile file(c.text);
        const auto [message, error] = LoadError(file.Name());
        EXPECT_EQ(file.Name() + L": " + c.message, message) << c.text;
        EXPECT_EQ(static_cast<std::uint32_t>(c.error), error) << c.text;
    }
}

TEST(ObjMesh, UnreadableFileThrowsNoSuchAFile) {
    const std::pair<std::wstring, int> cases[] = {
        {L"data/does-not-exist.obj", ENOENT},
        {L"", ENOENT},
        {Utf8ToWide(fs::temp_directory_path().string()), EISDIR},
    };
    for (const auto& [name, error] : cases) {
        EXPECT_EQ(std::make_pair(name + L": No such a file", static_cast<std::uint32_t>(error)),
                  LoadError(name));
    }
    const ObjFile accented(kPositions + "f 1 2 3", "-th\xC3\xA9i\xC3\xA8re");
    EXPECT_EQ(3u, ObjMesh(accented.Name()).GetPositions().size());
}

TEST(ObjMesh, KeepsFileNormalsOnlyWhenTheyPairWithPositions) {
    const std::string normals = kPositions + "vn 0 0 2\nvn 0 0 2\nvn 1 0 0\n";
    const std::vector<float> fromFile = {0, 0, 2, 0, 0, 2, 1, 0, 0};
    const std::vector<float> derived = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    const struct {
        std::string text;
        std::vector<float> normals;
    } cases[] = {
        {normals + "f 1 2 3", fromFile},
        {normals + "f 1//1 2//2 3//3", fromFile},
        {normals + "f 1//3 2//2 3//1", derived},
        {kPositions + "vn 1 0 0\nf 1 2 3", derived},
        {normals + "f -3//-3 2//-2 -1//3", fromFile},
        {kPositions + "f 1 2 3", derived},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.normals, Flat(Load(c.text).GetNormals())) << c.text;
    }
}

TEST(ObjMesh, VertexNormalIsNormalisedSumOfUnitFaceNormals) {
    // A large triangle facing +z and a small one facing +y share vertices 1 and 2: equal
    // weights give them the diagonal whatever the areas. Vertex 5 is unused, and the
    // degenerate last triangle must not spread NaNs.
    const ObjMesh mesh =
        Load("v 0 0 0\nv 1 0 0\nv 0 10 0\nv 0 0 -1\nv 5 5 5\nv 2 0 0\nf 1 2 3\nf 1 2 4\nf 1 2 6\n");
    const float d = std::sqrt(0.5f);
    const std::vector<float> expected = {0, d, d, 0, d, d, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<float> actual = Flat(mesh.GetNormals());
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(expected[i], actual[i], 1e-6f) << "component " << i;
    }
}

TEST(ObjMesh, FailedLoadLeavesMeshUnchanged) {
    ObjMesh mesh = Load(kPositions + "f 1 2 3");
    const ObjFile broken("v 1 1 1\nf 1 2 9\n");
    EXPECT_THROW(mesh.Load(broken.Name()), Exception);
    EXPECT_EQ(9u, Flat(mesh.GetNormals()).size());
    EXPECT_EQ((Indices{0, 1, 2}), mesh.GetIndices());
}

TEST(ObjMesh, TeapotIsWoundOutwardWithDerivedNormals) {
    const ObjMesh teapot(L"data/teapot.obj");
    const auto& positions = teapot.GetPositions();
    const auto& indices = teapot.GetIndices();
    ASSERT_FALSE(positions.empty());
    ASSERT_EQ(0u, indices.size() % 3);
    ASSERT_EQ(positions.size(), teapot.GetNormals().size());
    for (const Vector3& normal : teapot.GetNormals()) {
        const float length = Length(normal);
        EXPECT_TRUE(length == 0.0f || std::fabs(length - 1.0f) < 1e-5f) << length;
    }
    // Six times the enclosed volume: positive when the triangles turn counter-clockwise seen
    // from outside.
    double volume = 0.0;
    for (std::size_t t = 0; t < indices.size(); t += 3) {
        const auto at = [&](std::size_t k) { return positions[std::size_t(indices[t + k])]; };
        volume += Dot(at(0), Cross(at(1), at(2)));
    }
    EXPECT_GT(volume, 0.0);
}

// Found by the OBJ fuzzer (corpus/obj/regression-normal-*.obj): normalising face normals with a
// squared length rounded to float gave zero, unnormalised or NaN normals for small and large
// triangles. Each face counts with its unit normal whatever its size.
TEST(ObjMesh, DerivedNormalIsUnitWhateverTheTriangleSize) {
    // A counter-clockwise triangle facing +z at each scale; each vertex has this face alone, so
    // nothing can cancel.
    for (const std::string scale :
         {"1e-40", "1e-30", "1e-12", "1", "1e12", "1e20", "1e30", "3e38"}) {
        const ObjMesh mesh = Load("v 0 0 0\nv " + scale + " 0 0\nv 0 " + scale + " 0\nf 1 2 3\n");
        for (const Vector3& normal : mesh.GetNormals()) {
            EXPECT_NEAR(0.0f, normal.x, 1e-6f) << scale;
            EXPECT_NEAR(0.0f, normal.y, 1e-6f) << scale;
            EXPECT_NEAR(1.0f, normal.z, 1e-6f) << scale;
        }
    }
}

// Where tinyobjloader reads a file too, it must find the same positions and the same triangles
// (fans over its polygons). It neither joins continued lines nor skips a byte-order mark, so
// files with those are left out.
TEST(ObjMesh, AgreesWithTinyobjloaderWhereBothRead) {
    std::vector<std::string> texts = {
        kPositions + "f -3 -2 -1\nv 1 1 0\nvt 0 0\nvn 0 0 1\nf 1/1/1 -1//-1 2 -2/-1\n",
        "v 1 2 3\r\nv 4 5 6\r\nv 7 8 9 1\r\nv -1e-3 +2 -3\r\nf 4 3 2 1\r\n",
        "o a\nv 0 0 0\nv 1 0 0\ng b\nv 0 1 0\nf 1 2 3\ns off\nv 1 1 1\nusemtl x\nf -1 -2 -3 -4\n",
    };
    for (const fs::directory_entry& file : fs::directory_iterator("tests/fuzz/corpus/obj")) {
        std::ifstream in(file.path(), std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int compared = 0;
    for (const std::string& text : texts) {
        std::optional<ObjMesh> ours;
        try {
            ours.emplace(ObjFile(text).Name());
        } catch (const Exception&) {
        }
        tinyobj::ObjReaderConfig config;
        config.triangulate = false;
        config.vertex_color = false;
        tinyobj::ObjReader theirs;
        if (!ours || text.find('\\') != std::string::npos || text.starts_with("\xEF\xBB\xBF") ||
            !theirs.ParseFromString(text, "", config)) {
            continue;
        }
        ++compared;
        EXPECT_EQ(theirs.GetAttrib().vertices, Flat(ours->GetPositions())) << text;
        Indices fans;
        for (const tinyobj::shape_t& shape : theirs.GetShapes()) {
            const std::vector<tinyobj::index_t>& corners = shape.mesh.indices;
            std::size_t first = 0;
            for (const unsigned char count : shape.mesh.num_face_vertices) {
                for (std::size_t k = first + 1; k + 1 < first + count; ++k) {
                    fans.insert(fans.end(), {corners[first].vertex_index, corners[k].vertex_index,
                                             corners[k + 1].vertex_index});
                }
                first += count;
            }
        }
        EXPECT_EQ(fans, ours->GetIndices()) << text;
    }
    EXPECT_GE(compared, 8);
}

}  // namespace
}  // namespace Quellon
