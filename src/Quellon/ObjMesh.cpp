#include "Quellon/ObjMesh.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <string_view>
#include <system_error>
#include <utility>

#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace Quellon {

namespace {

// The format is ASCII; bytes beyond it only ever appear in comments and names, which are
// skipped, so each byte is taken as one character and no decoding is done.
std::string ReadFileBytes(const std::wstring& fileName) {
    // The stream's own failure leaves errno as the failed open or read set it: the caption then
    // says why ("No such file or directory", "Is a directory").
    std::ifstream file(WideToUtf8(fileName), std::ios::binary);
    if (!file) {
        throw Exception(fileName + L": No such a file");
    }
    std::string bytes;
    std::string chunk(std::size_t{1} << 16, '\0');
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
           file.gcount() > 0) {
        bytes.append(chunk.data(), static_cast<std::size_t>(file.gcount()));
    }
    // A directory opens like a file and fails only on the first read.
    if (file.bad()) {
        throw Exception(fileName + L": No such a file");
    }
    return bytes;
}

// Line feeds end a statement; every other control character that a text editor may leave
// behind (the carriage return of CR LF files included) separates words like a space.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

void SplitWords(std::string_view line, std::vector<std::string_view>& words) {
    words.clear();
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            return;
        }
        const std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) {
            ++i;
        }
        words.push_back(line.substr(start, i - start));
    }
}

// std::from_chars rejects the leading plus sign that stream extraction accepts and that some
// exporters write; a second sign after it stays an error.
std::string_view WithoutPlus(std::string_view word) {
    if (word.size() > 1 && word[0] == '+' && word[1] != '+' && word[1] != '-') {
        word.remove_prefix(1);
    }
    return word;
}

// std::from_chars does not depend on the C locale (a decimal comma there would otherwise break
// every file) and tells where the number ends, so "1.0abc" is caught.
bool ParseFloat(std::string_view word, float& value) {
    word = WithoutPlus(word);
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (stop != end) {
        return false;
    }
    if (error == std::errc::result_out_of_range) {
        // Underflow is reported like overflow; a value too small for a float is still a
        // number, and it rounds towards zero as any other conversion would. long double tells
        // underflow from overflow for exponents far beyond even double's range.
        long double wide = 0.0L;
        const auto [wideStop, wideError] = std::from_chars(word.data(), end, wide);
        if (wideStop != end || wideError != std::errc() || !(std::fabs(wide) < 1.0L)) {
            return false;
        }
        value = static_cast<float>(wide);
        return true;
    }
    // Infinities and NaNs would poison every normal they touch.
    return error == std::errc() && std::isfinite(value);
}

enum class IntegerRead { kValid, kNotANumber, kTooLarge };

IntegerRead ParseInteger(std::string_view word, std::int32_t& value) {
    word = WithoutPlus(word);
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (word.empty() || stop != end) {
        return IntegerRead::kNotANumber;
    }
    return error == std::errc() ? IntegerRead::kValid : IntegerRead::kTooLarge;
}

// Reads the statements of one file. Face numbers may refer to positions that come later in the
// file, so those beyond the positions read so far are kept and checked once the file is done.
// Negative numbers count back from the last position (or normal) read so far: -1 is the latest.
class ObjReader {
public:
    explicit ObjReader(const std::wstring& fileName) : m_fileName(fileName) {}

    // Every message names the file: the user may have several meshes at hand and the error box
    // is the only place that says which one is broken.
    [[noreturn]] void Fail(const std::wstring& what, std::size_t line) const {
        ThrowException(EINVAL, m_fileName + L": " + what + L" at line " + std::to_wstring(line));
    }

    void ReadLine(std::string_view line, std::size_t lineNumber) {
        line = line.substr(0, line.find('#'));
        SplitWords(line, m_words);
        if (m_words.empty()) {
            return;
        }
        if (m_words[0] == "v") {
            m_positions.push_back(ReadVector(lineNumber));
        } else if (m_words[0] == "vn") {
            m_normals.push_back(ReadVector(lineNumber));
        } else if (m_words[0] == "f") {
            ReadFace(lineNumber);
        }
    }

    void CheckLaterPositions() const {
        for (const LaterPosition& later : m_laterPositions) {
            if (static_cast<std::size_t>(later.index) > m_positions.size()) {
                Fail(L"Invalid face index " + std::to_wstring(later.index), later.line);
            }
        }
    }

    std::vector<Vector3> m_positions;
    std::vector<Vector3> m_normals;
    std::vector<std::int32_t> m_indices;
    // False once a face vertex names a normal other than its position's: the file's normals
    // then do not belong to the positions of the same number.
    bool m_normalsFollowPositions = true;

private:
    struct LaterPosition {
        std::int32_t index;
        std::size_t line;
    };

    // Three numbers are used; more are allowed (a w coordinate, or the vertex colours some
    // exporters append) but must be numbers too.
    Vector3 ReadVector(std::size_t lineNumber) const {
        float numbers[3] = {};
        for (std::size_t i = 1; i < m_words.size(); ++i) {
            float number = 0.0f;
            if (!ParseFloat(m_words[i], number)) {
                Fail(L"Invalid number", lineNumber);
            }
            if (i <= 3) {
                numbers[i - 1] = number;
            }
        }
        if (m_words.size() < 4) {
            Fail(L"Too few numbers", lineNumber);
        }
        return {numbers[0], numbers[1], numbers[2]};
    }

    void ReadFace(std::size_t lineNumber) {
        m_face.clear();
        for (std::size_t i = 1; i < m_words.size(); ++i) {
            m_face.push_back(ReadFaceVertex(m_words[i], lineNumber));
        }
        if (m_face.size() < 3) {
            Fail(L"Too few face vertices", lineNumber);
        }
        for (std::size_t i = 1; i + 1 < m_face.size(); ++i) {
            m_indices.push_back(m_face[0]);
            m_indices.push_back(m_face[i]);
            m_indices.push_back(m_face[i + 1]);
        }
    }

    // Returns the zero-based position number of a vertex written i, i/t, i//n or i/t/n.
    std::int32_t ReadFaceVertex(std::string_view word, std::size_t lineNumber) {
        std::string_view parts[3];
        std::size_t partCount = 0;
        for (std::size_t start = 0;;) {
            const std::size_t slash = word.find('/', start);
            if (partCount == 3) {
                Fail(L"Invalid number", lineNumber);
            }
            parts[partCount++] = word.substr(start, slash - start);
            if (slash == std::string_view::npos) {
                break;
            }
            start = slash + 1;
        }
        std::int32_t number = 0;
        const IntegerRead read = ParseInteger(parts[0], number);
        std::int32_t ignored = 0;
        const bool textureValid = partCount == 1 || (partCount == 3 && parts[1].empty()) ||
                                  ParseInteger(parts[1], ignored) == IntegerRead::kValid;
        std::int32_t normalNumber = 0;
        const IntegerRead normalRead =
            partCount == 3 ? ParseInteger(parts[2], normalNumber) : IntegerRead::kValid;
        if (read == IntegerRead::kNotANumber || !textureValid ||
            normalRead == IntegerRead::kNotANumber) {
            Fail(L"Invalid number", lineNumber);
        }
        // Zero is not a vertex in this format, and a relative number must not reach back before
        // the first position.
        const std::int64_t index = Resolve(number, m_positions.size());
        if (read == IntegerRead::kTooLarge || index < 0) {
            Fail(L"Invalid face index " + std::wstring(parts[0].begin(), parts[0].end()),
                 lineNumber);
        }
        if (partCount == 3 && (normalRead != IntegerRead::kValid ||
                               Resolve(normalNumber, m_normals.size()) != index)) {
            m_normalsFollowPositions = false;
        }
        if (static_cast<std::size_t>(index) >= m_positions.size()) {
            m_laterPositions.push_back({number, lineNumber});
        }
        return static_cast<std::int32_t>(index);
    }

    // The zero-based element that a one-based or relative number names, given how many elements
    // have been read so far; negative when it names none.
    static std::int64_t Resolve(std::int32_t number, std::size_t readSoFar) {
        if (number > 0) {
            return std::int64_t{number} - 1;
        }
        if (number == 0) {
            return -1;
        }
        return static_cast<std::int64_t>(readSoFar) + number;
    }

    std::wstring m_fileName;
    std::vector<LaterPosition> m_laterPositions;
    std::vector<std::string_view> m_words;
    std::vector<std::int32_t> m_face;
};

}  // namespace

ObjMesh::ObjMesh(const std::wstring& fileName) {
    Load(fileName);
}

void ObjMesh::Load(const std::wstring& fileName) {
    const std::string bytes = ReadFileBytes(fileName);
    std::string_view text = bytes;
    // Editors on some systems start UTF-8 files with a byte-order mark; read as part of the
    // first keyword it would drop that statement and shift every face after it.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    ObjReader reader(fileName);
    std::string joined;
    std::size_t lineNumber = 1;
    for (std::size_t start = 0; start < text.size();) {
        // A backslash ending a line continues the statement on the next one. Messages name the
        // line where the statement starts.
        const std::size_t statementLine = lineNumber;
        joined.clear();
        std::string_view statement;
        for (;;) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view line = text.substr(start, end - start);
            start = end + 1;
            ++lineNumber;
            std::string_view body = line;
            if (body.ends_with('\r')) {
                body.remove_suffix(1);
            }
            if (!body.ends_with('\\')) {
                if (joined.empty()) {
                    statement = line;
                } else {
                    statement = joined.append(line);
                }
                break;
            }
            body.remove_suffix(1);
            joined.append(body).push_back(' ');
            if (start >= text.size()) {
                statement = joined;
                break;
            }
        }
        reader.ReadLine(statement, statementLine);
    }
    reader.CheckLaterPositions();
    // Caught here rather than by the renderer, which would fail only after the main window had
    // opened, with a message about an empty buffer.
    if (reader.m_indices.empty()) {
        ThrowException(ENODATA, fileName + L": No faces");
    }

    ObjMesh loaded;
    loaded.m_positions = std::move(reader.m_positions);
    loaded.m_normals = std::move(reader.m_normals);
    loaded.m_indices = std::move(reader.m_indices);
    // The renderer pairs normal i with position i; any other file normals would light the mesh
    // with normals of the wrong vertices, or read past the end of the array.
    if (loaded.m_normals.size() != loaded.m_positions.size() || !reader.m_normalsFollowPositions) {
        loaded.ComputeNormals();
    }
    *this = std::move(loaded);
}

void ObjMesh::ComputeNormals() {
    // In double: a cross product of float coordinates, squared, leaves float's range for
    // triangles that are merely small or large (sides near 1e-12 or 1e10), and would turn
    // their unit normals into zero, unnormalised or NaN vectors. Double holds every such
    // product of finite floats.
    struct Normal {
        double x = 0.0;
        double y = 0.0;
        double z = 0.0;
        void Normalize() {
            const double length = std::sqrt(x * x + y * y + z * z);
            if (length != 0.0) {
                x /= length;
                y /= length;
                z /= length;
            }
        }
    };
    std::vector<Normal> sums(m_positions.size());
    for (std::size_t t = 0; t + 2 < m_indices.size(); t += 3) {
        const std::size_t corners[3] = {static_cast<std::size_t>(m_indices[t]),
                                        static_cast<std::size_t>(m_indices[t + 1]),
                                        static_cast<std::size_t>(m_indices[t + 2])};
        const Vector3& p0 = m_positions[corners[0]];
        const Vector3& p1 = m_positions[corners[1]];
        const Vector3& p2 = m_positions[corners[2]];
        const double ax = double(p0.x) - p1.x, ay = double(p0.y) - p1.y, az = double(p0.z) - p1.z;
        const double bx = double(p0.x) - p2.x, by = double(p0.y) - p2.y, bz = double(p0.z) - p2.z;
        Normal face{ay * bz - az * by, az * bx - ax * bz, ax * by - ay * bx};
        face.Normalize();
        for (const std::size_t corner : corners) {
            sums[corner].x += face.x;
            sums[corner].y += face.y;
            sums[corner].z += face.z;
        }
    }
    m_normals.resize(m_positions.size());
    for (std::size_t i = 0; i < sums.size(); ++i) {
        sums[i].Normalize();
        m_normals[i] = Vector3(static_cast<float>(sums[i].x), static_cast<float>(sums[i].y),
                               static_cast<float>(sums[i].z));
    }
}

}  // namespace Quellon
