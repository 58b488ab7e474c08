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

// An OBJ text in a file of its own while it lives; the process id keeps parallel tests apart.
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

// The message, and the errno the error box shows as its caption.
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

TEST(ObjMesh, RejectsMalformedStatementsNamingTheFileAndLine) {
    const struct {
        std::string text;
        const wchar_t* message;
        int error = EINVAL;
    } cases[] = {
        {"v 1 x 3", L"Invalid number at line 1"},
        {"v 1.0abc 2 3", L"Invalid number at line 1"},
        {"\n# c\nv 1 2 3 q", L"Invalid number at line 3"},
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
        {"\n\r\n\t\n# nothing here\n", L"No faces", ENODATA},
        {kPositions + "l 1 2\np 3\n", L"No faces", ENODATA},
        // Forward face indices are checked once the file is read.
        {"f 1 2 3\nf 1 2 5\n" + kPositions + "v 1 1 1\n", L"Invalid face index 5 at line 2"},
    };
    for (const auto& c : cases) {
        const ObjFile file(c.text);
        const auto [message, error] = LoadError(file.Name());
        EXPECT_EQ(file.Name() + L": " + c.message, message) << c.text;
        EXPECT_EQ(static_cast<std::uint32_t>(c.error), error) << c.text;
    }
    // A failed load leaves the mesh as it was.
    ObjMesh mesh(ObjFile(kPositions + "f 1 2 3").Name());
    EXPECT_THROW(mesh.Load(ObjFile("v 1 1 1\nf 1 2 9\n").Name()), Exception);
    EXPECT_EQ(9u, Flat(mesh.GetNormals()).size());
    EXPECT_EQ((Indices{0, 1, 2}), mesh.GetIndices());
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

// File normals are kept only where they pair with positions. A derived normal is the normalised
// sum of its faces' unit normals, whatever their size: the OBJ fuzzer found zero, unnormalised
// and NaN normals of tiny and huge triangles (corpus/obj/regression-normal-*).
TEST(ObjMesh, NormalsComeFromTheFileOrFromTheFaces) {
    const std::string normals = kPositions + "vn 0 0 2\nvn 0 0 2\nvn 1 0 0\n";
    const std::vector<float> fromFile = {0, 0, 2, 0, 0, 2, 1, 0, 0};
    const std::vector<float> derived = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    const float d = std::sqrt(0.5f);
    std::vector<std::pair<std::string, std::vector<float>>> cases = {
        {normals + "f 1 2 3", fromFile},
        {normals + "f 1//1 2//2 3//3", fromFile},
        {normals + "f -3//-3 2//-2 -1//3", fromFile},
        {normals + "f 1//3 2//2 3//1", derived},
        {kPositions + "vn 1 0 0\nf 1 2 3", derived},
        // Line layouts that tinyobjloader cannot check change nothing.
        {"# a comment\tv 9 9 9\n" + kPositions + "f 1 2 3\n", derived},
        {"\xEF\xBB\xBF" + kPositions + "f 1 2 3\n", derived},
        {"v 0 0 0\nv 1 0 \\\r\n0\nv 0 1 0\nf 1 \\\n2 \\\n3 \\", derived},
        {"f 1 2 3\n" + kPositions, derived},
        // Big +z and small +y faces share vertices 1 and 2, which get the diagonal; vertex 5 is
        // unused, and the degenerate last face must not spread NaNs.
        {"v 0 0 0\nv 1 0 0\nv 0 10 0\nv 0 0 -1\nv 5 5 5\nv 2 0 0\nf 1 2 3\nf 1 2 4\nf 1 2 6\n",
         {0, d, d, 0, d, d, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const std::string scale : {"1e-40", "1e-12", "1", "1e20", "3e38"}) {
        std::string text = "v 0 0 0\nv ";
        text.append(scale).append(" 0 0\nv 0 ").append(scale).append(" 0\nf 1 2 3\n");
        cases.emplace_back(text, derived);
    }
    for (const auto& [text, expected] : cases) {
        const std::vector<float> actual = Flat(ObjMesh(ObjFile(text).Name()).GetNormals());
        ASSERT_EQ(expected.size(), actual.size()) << text;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(expected[i], actual[i], 1e-6f) << text;
        }
    }
}

// Where tinyobjloader reads a file too, it must find the same positions and the same triangles
// (fans over its polygons). It neither joins continued lines nor skips a byte-order mark.
TEST(ObjMesh, AgreesWithTinyobjloaderWhereBothRead) {
    std::vector<std::string> texts;
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
    EXPECT_GE(compared, 9);
}

}  // namespace
}  // namespace Quellon
