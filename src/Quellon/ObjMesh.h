#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Quellon/Vector3.h"

namespace Quellon {

// A triangle mesh read from a Wavefront OBJ file. The statements read are `v` (position), `vn`
// (normal) and `f` (face); a face vertex may be written i, i/t, i//n or i/t/n, with numbers
// counted from 1 or, when negative, back from the latest element read so far, and a polygon is
// split into a fan of triangles. Everything else (texture coordinates, groups, materials,
// comments) is skipped. A leading UTF-8 byte-order mark is skipped, and a backslash at the end
// of a line joins the next line to the statement.
//
// After loading, m_normals holds exactly one normal per position: the file's own normals when
// the file gives one per position and its faces pair them with their positions, derived smooth
// normals otherwise. m_indices holds three zero-based position numbers per triangle, each one
// valid for m_positions.
class ObjMesh {
public:
    // Reads the file, named relative to the working directory. Every failure is an Exception
    // whose message starts with the file name: "FILE: No such a file" when the file cannot be
    // read, "FILE: No faces" when it holds no triangle, and for a malformed statement what is
    // wrong and the line where the statement starts ("FILE: Invalid number at line 3").
    explicit ObjMesh(const std::wstring& fileName);

    // Replaces the mesh by the file's; throws as the constructor does, leaving the mesh as it
    // was.
    void Load(const std::wstring& fileName);

    // Smooth per-vertex normals: the unit normals of the counter-clockwise faces around each
    // vertex, summed with equal weight whatever their area, then normalised. A vertex that no
    // triangle uses, or whose face normals cancel, gets (0, 0, 0).
    void ComputeNormals();

    const std::vector<Vector3>& GetPositions() const { return m_positions; }
    const std::vector<Vector3>& GetNormals() const { return m_normals; }
    const std::vector<std::int32_t>& GetIndices() const { return m_indices; }

private:
    ObjMesh() = default;

    std::vector<Vector3> m_positions;
    std::vector<Vector3> m_normals;
    std::vector<std::int32_t> m_indices;
};

}  // namespace Quellon
