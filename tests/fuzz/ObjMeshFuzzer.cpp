// Loads each input as an OBJ file. A mesh must be drawable without reading out of bounds or
// lighting with NaNs; a failure must name the file and either a line whose statement can fail
// that way or, for a file without a face statement, no faces.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include "Quellon/Exception.h"
#include "Quellon/ObjMesh.h"

namespace {

// ObjMesh reads only named files. A memfd reopened through /proc/self/fd is such a file in
// memory, and unlike a tmpfs file it cannot be left behind when a crash ends the process.
int g_file = -1;
std::wstring g_fileName;

[[noreturn]] void Fail(const char* what, const std::wstring& message = std::wstring()) {
    std::fprintf(stderr, "ObjMeshFuzzer: %s %ls\n", what, message.c_str());
    std::abort();
}

void CheckMesh(const Quellon::ObjMesh& mesh) {
    const std::size_t count = mesh.GetPositions().size();
    if (mesh.GetIndices().size() % 3 != 0 || mesh.GetNormals().size() != count ||
        std::any_of(mesh.GetIndices().begin(), mesh.GetIndices().end(), [&](std::int32_t i) {
            return i < 0 || static_cast<std::size_t>(i) >= count;
        })) {
        Fail("not whole triangles over the positions, each with a normal");
    }
    for (const auto* vectors : {&mesh.GetPositions(), &mesh.GetNormals()}) {
        for (const Quellon::Vector3& v : *vectors) {
            if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) {
                Fail("position or normal not finite");
            }
        }
    }
    // The file's own normals are kept as written, so only derived ones are bound to be unit
    // length; zero is what a vertex gets when no face uses it or its face normals cancel. The
    // size of a triangle must not matter: each face counts with its unit normal.
    Quellon::ObjMesh derived = mesh;
    derived.ComputeNormals();
    for (const Quellon::Vector3& n : derived.GetNormals()) {
        // In double, so that a tiny normal does not pass for zero by underflowing here too.
        const double length = std::sqrt(double{n.x} * n.x + double{n.y} * n.y + double{n.z} * n.z);
        if (!(length == 0.0 || std::fabs(length - 1.0) < 1e-5)) {
            Fail("derived normal neither unit length nor zero");
        }
    }
}

// The statements of a file as the loader sees them, by the line each starts on: a byte-order
// mark dropped, a line ending in a backslash joined to the next.
std::map<unsigned long, std::string> Statements(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::map<unsigned long, std::string> statements;
    bool continued = false;
    for (unsigned long line = 1, start = 1; !text.empty(); ++line) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view physical = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        start = continued ? start : line;
        if (physical.ends_with('\r')) {
            physical.remove_suffix(1);
        }
        continued = physical.ends_with('\\');
        statements[start].append(physical.substr(0, physical.size() - continued)).push_back(' ');
    }
    return statements;
}

// Before any comment. The other control characters an editor may leave behind separate words
// like spaces, as the stream's white space does, so a CR LF file reads like an LF one.
std::string Keyword(const std::string& statement) {
    std::string keyword;
    std::istringstream(statement.substr(0, statement.find('#'))) >> keyword;
    return keyword;
}

void CheckError(std::wstring message, std::string_view text) {
    const std::wstring prefix = g_fileName + L": ";
    if (!message.starts_with(prefix)) {
        Fail("error without the file name:", message);
    }
    message.erase(0, prefix.size());
    const auto statements = Statements(text);
    if (message == L"No faces") {
        if (std::any_of(statements.begin(), statements.end(),
                        [](const auto& statement) { return Keyword(statement.second) == "f"; })) {
            Fail("no faces reported for a file with a face statement");
        }
        return;
    }
    const std::size_t at = message.rfind(L" at line ");
    const std::wstring digits = at == std::wstring::npos ? L"" : message.substr(at + 9);
    const auto found = statements.find(std::wcstoul(digits.c_str(), nullptr, 10));
    if (found == statements.end() || std::to_wstring(found->first) != digits) {
        Fail("error without the line where a statement starts:", message);
    }
    const std::string keyword = Keyword(found->second);
    const bool face = keyword == "f", vector = keyword == "v" || keyword == "vn";
    const std::wstring what = message.substr(0, at), badIndex = L"Invalid face index ";
    // The index is either the word itself or its value; a sign or leading zeros in the word only
    // come before the digits of the value.
    const std::string index(what.begin() + std::min(badIndex.size(), what.size()), what.end());
    const bool badIndexInFace = face && what.starts_with(badIndex) && !index.empty() &&
                                found->second.find(index) != std::string::npos;
    const bool consistent = (what == L"Invalid number" && (face || vector)) ||
                            (what == L"Too few numbers" && vector) ||
                            (what == L"Too few face vertices" && face) || badIndexInFace;
    if (!consistent) {
        Fail("unknown error, or one the statement at its line cannot have:", message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = memfd_create("avidrift-objmesh-fuzz", 0);
    if (g_file < 0) {
        Fail("cannot create the file in memory");
    }
    g_fileName = L"/proc/self/fd/" + std::to_wstring(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) {
        Fail("cannot write the input");
    }
    try {
        CheckMesh(Quellon::ObjMesh(g_fileName));
    } catch (const Quellon::Exception& e) {
        CheckError(e.GetMessage(), std::string_view(reinterpret_cast<const char*>(data), size));
    }
    return 0;
}
