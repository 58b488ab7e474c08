#pragma once

#include "Quellon/Vector3.h"

namespace Quellon {

// Sixteen floats stored row by row (element (r, k) at index 4r + k), translation in column 3.
// Uploaded to OpenGL with the transpose flag.
struct Matrix4 {
    float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    static Matrix4 Identity() { return {}; }
    // Rotation about +Y; positive angles turn +Z towards +X.
    static Matrix4 RotationY(float degrees);

    float& operator[](int index) { return m[index]; }
    float operator[](int index) const { return m[index]; }
};

Matrix4 operator*(const Matrix4& a, const Matrix4& b);

// Treats p as a point (w = 1), ignores row 3 and does no perspective division.
Vector3 TransformPoint(const Matrix4& m, const Vector3& p);

// A right-handed view matrix looking from eye at target. A zero forward vector gives zero rows
// instead of NaNs.
Matrix4 LookAt(const Vector3& eye, const Vector3& target, const Vector3& up);
Matrix4 Perspective(float fieldOfViewDegrees, float aspect, float zNear, float zFar);

}  // namespace Quellon
