#pragma once

#include "Quellon/Scalar.h"

namespace Quellon {

// Three packed floats and nothing else: arrays of Vector3 are uploaded to OpenGL as plain
// float arrays.
struct Vector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr Vector3() = default;
    constexpr Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    // Divides by the length unless the length compares equal to zero; a NaN length divides.
    Vector3& Normalize();
    Vector3 Normalized() const;
};

static_assert(sizeof(Vector3) == 3 * sizeof(float), "Vector3 must stay three packed floats");

inline Vector3 operator+(const Vector3& a, const Vector3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vector3 operator-(const Vector3& a, const Vector3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vector3 operator*(const Vector3& v, float s) {
    return {v.x * s, v.y * s, v.z * s};
}
inline bool operator==(const Vector3& a, const Vector3& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

// Component-wise product; the flock scales unit directions by the per-component speed bound.
inline Vector3 Scale(const Vector3& a, const Vector3& b) {
    return {a.x * b.x, a.y * b.y, a.z * b.z};
}

// Sums of products are formed in double and rounded once.
inline float Dot(const Vector3& a, const Vector3& b) {
    return static_cast<float>(static_cast<double>(a.x) * b.x + static_cast<double>(a.y) * b.y +
                              static_cast<double>(a.z) * b.z);
}

inline Vector3 Cross(const Vector3& a, const Vector3& b) {
    return {static_cast<float>(static_cast<double>(a.y) * b.z - static_cast<double>(a.z) * b.y),
            static_cast<float>(static_cast<double>(a.z) * b.x - static_cast<double>(a.x) * b.z),
            static_cast<float>(static_cast<double>(a.x) * b.y - static_cast<double>(a.y) * b.x)};
}

inline float Length(const Vector3& v) {
    const auto squared =
        static_cast<float>(static_cast<double>(v.x) * v.x + static_cast<double>(v.y) * v.y +
                           static_cast<double>(v.z) * v.z);
    return Sqrt(squared);
}

// Bounds a from above only; equal components and NaN comparisons keep a's component.
inline Vector3 Min(const Vector3& a, const Vector3& b) {
    return {b.x < a.x ? b.x : a.x, b.y < a.y ? b.y : a.y, b.z < a.z ? b.z : a.z};
}

inline Vector3& Vector3::Normalize() {
    const float length = Length(*this);
    if (length == 0.0f) {
        return *this;
    }
    x /= length;
    y /= length;
    z /= length;
    return *this;
}

inline Vector3 Vector3::Normalized() const {
    Vector3 copy = *this;
    return copy.Normalize();
}

}  // namespace Quellon
