// Loads each input as an OBJ file. A load that succeeds must leave a mesh the renderer can draw
// without reading out of bounds or lighting with NaNs; a load that fails must fail with
// Exception, naming the file and either a line whose statement can fail that way or, for a file
// without a face statement, no faces.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Quellon/Exception.h"
#include "Quellon/ObjMesh.h"
#include "Quellon/Vector3.h"

namespace {

// ObjMesh reads only named files. A memfd reopened through /proc/self/fd is such a file in
// memory: rewriting it costs no more than a tmpfs file, and unlike one it cannot be left behind
// when a crash ends the process.
int g_file = -1;
std::wstring g_fileName;

[[noreturn]] void Fail(const char* what, const std::wstring& message = std::wstring()) {
    std::fprintf(stderr, "ObjMeshFuzzer: %s %ls\n", what, message.c_str());
    std::abort();
}

bool AllFinite(const std::vector<Quellon::Vector3>& vectors) {
    for (const Quellon::Vector3& v : vectors) {
        if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) {
            return false;
        }
    }
    return true;
}

void CheckMesh(const Quellon::ObjMesh& mesh) {
    const auto& positions = mesh.GetPositions();
    const auto& indices = mesh.GetIndices();
    if (indices.size() % 3 != 0) {
        Fail("index count is not a multiple of three");
    }
    for (const std::int32_t index : indices) {
        if (index < 0 || static_cast<std::size_t>(index) >= positions.size()) {
            Fail("index out of range");
        }
    }
    if (mesh.GetNormals().size() != positions.size()) {
        Fail("normal count differs from position count");
    }
    if (!AllFinite(positions)) {
        Fail("position not finite");
    }
    if (!AllFinite(mesh.GetNormals())) {
        Fail("normal not finite");
    }

    // The file's own normals are kept as written, so only derived ones are bound to be unit
    // length; zero is what a vertex gets when no face uses it or its face normals cancel. The
    // size of a triangle must not matter: each face counts with its unit normal.
    Quellon::ObjMesh derived = mesh;
    derived.ComputeNormals();
    for (const Quellon::Vector3& normal : derived.GetNormals()) {
        // In double, so that a tiny normal does not pass for zero by underflowing here too.
        const double length = std::sqrt(double{normal.x} * normal.x + double{normal.y} * normal.y +
                                        double{normal.z} * normal.z);
        if (!(length == 0.0 || std::fabs(length - 1.0) < 1e-5)) {
            Fail("derived normal neither unit length nor zero");
        }
    }
}

// A line feed ends a statement; the other control characters an editor may leave behind
// separate words like spaces, so a CR LF file reads like an LF one.
std::string_view FirstWord(std::string_view statement) {
    constexpr std::string_view kBlanks = " \t\r\v\f";
    const std::size_t start = statement.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        return {};
    }
    statement.remove_prefix(start);
    return statement.substr(0, statement.find_first_of(kBlanks));
}

// The statements of a file as the loader sees them: a byte-order mark dropped, lines ending in
// a backslash joined to the next, each with the line where it starts.
struct Statement {
    unsigned long line;
    std::string text;
};

std::vector<Statement> Statements(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::vector<Statement> statements;
    unsigned long line = 1;
    bool continued = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view physical = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!continued) {
            statements.push_back({line, std::string()});
        }
        ++line;
        if (physical.ends_with('\r')) {
            physical.remove_suffix(1);
        }
        continued = physical.ends_with('\\');
        if (continued) {
            physical.remove_suffix(1);
        }
        statements.back().text.append(physical).push_back(' ');
    }
    return statements;
}

void CheckError(std::wstring message, std::string_view text) {
    const std::wstring prefix = g_fileName + L": ";
    if (!message.starts_with(prefix)) {
        Fail("error without the file name:", message);
    }
    message.erase(0, prefix.size());
    const std::vector<Statement> statements = Statements(text);
    if (message == L"No faces") {
        for (const Statement& s : statements) {
            if (FirstWord(s.text.substr(0, s.text.find('#'))) == "f") {
                Fail("no faces reported for a file with a face statement");
            }
        }
        return;
    }
    const std::wstring marker = L" at line ";
    const std::size_t at = message.rfind(marker);
    if (at == std::wstring::npos) {
        Fail("error without a line number:", message);
    }
    const std::wstring what = message.substr(0, at);
    const std::wstring digits = message.substr(at + marker.size());
    if (digits.empty() || digits.size() > 9 || digits[0] == L'0' ||
        digits.find_first_not_of(L"0123456789") != std::wstring::npos) {
        Fail("malformed line number:", message);
    }
    const unsigned long line = std::stoul(digits);
    const auto found = std::find_if(statements.begin(), statements.end(),
                                    [&](const Statement& s) { return s.line == line; });
    if (found == statements.end()) {
        Fail("line number where no statement starts:", message);
    }
    std::string_view statement = found->text;
    statement = statement.substr(0, statement.find('#'));
    const std::string_view keyword = FirstWord(statement);
    const bool face = keyword == "f";
    const bool vector = keyword == "v" || keyword == "vn";

    const std::wstring badIndex = L"Invalid face index ";
    bool consistent = false;
    if (what == L"Invalid number") {
        consistent = face || vector;
    } else if (what == L"Too few numbers") {
        consistent = vector;
    } else if (what == L"Too few face vertices") {
        consistent = face;
    } else if (what.starts_with(badIndex)) {
        // The number is either the word itself or its value; a sign or leading zeros in the
        // word only come before the digits of the value.
        const std::wstring number = what.substr(badIndex.size());
        consistent =
            face && !number.empty() &&
            statement.find(std::string(number.begin(), number.end())) != std::string_view::npos;
    } else {
        Fail("unknown error:", message);
    }
    if (!consistent) {
        Fail("error names a line whose statement cannot fail that way:", message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = memfd_create("avidrift-objmesh-fuzz", 0);
    if (g_file < 0) {
        std::perror("ObjMeshFuzzer: memfd_create");
        std::abort();
    }
    g_fileName = L"/proc/self/fd/" + std::to_wstring(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::perror("ObjMeshFuzzer: writing the input");
        std::abort();
    }
    try {
        CheckMesh(Quellon::ObjMesh(g_fileName));
    } catch (const Quellon::Exception& e) {
        CheckError(e.GetMessage(), std::string_view(reinterpret_cast<const char*>(data), size));
    }
    return 0;
}
