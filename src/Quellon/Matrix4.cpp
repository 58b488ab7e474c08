#include "Quellon/Matrix4.h"

namespace Quellon {

namespace {
constexpr float kRadiansPerDegree = 0.017453292f;
}

Matrix4 Matrix4::RotationY(float degrees) {
    const auto radians = static_cast<float>(static_cast<double>(degrees) * kRadiansPerDegree);
    const float sa = Sin(radians);
    const float ca = Cos(radians);
    Matrix4 r;
    r.m[0] = ca;
    r.m[2] = sa;
    r.m[8] = -sa;
    r.m[10] = ca;
    return r;
}

Matrix4 operator*(const Matrix4& a, const Matrix4& b) {
    Matrix4 r;
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) {
            double sum = 0.0;
            for (int j = 0; j < 4; ++j) {
                sum += static_cast<double>(a.m[4 * row + j]) * b.m[4 * j + col];
            }
            r.m[4 * row + col] = static_cast<float>(sum);
        }
    }
    return r;
}

Vector3 TransformPoint(const Matrix4& m, const Vector3& p) {
    auto row = [&](int r) {
        return static_cast<float>(static_cast<double>(m.m[4 * r]) * p.x +
                                  static_cast<double>(m.m[4 * r + 1]) * p.y +
                                  static_cast<double>(m.m[4 * r + 2]) * p.z + m.m[4 * r + 3]);
    };
    return {row(0), row(1), row(2)};
}

Matrix4 LookAt(const Vector3& eye, const Vector3& target, const Vector3& up) {
    const Vector3 f = (target - eye).Normalized();
    const Vector3 s = Cross(f, up).Normalized();
    const Vector3 u = Cross(s, f).Normalized();
    Matrix4 r;
    r.m[0] = s.x;
    r.m[1] = s.y;
    r.m[2] = s.z;
    r.m[3] = -Dot(s, eye);
    r.m[4] = u.x;
    r.m[5] = u.y;
    r.m[6] = u.z;
    r.m[7] = -Dot(u, eye);
    r.m[8] = -f.x;
    r.m[9] = -f.y;
    r.m[10] = -f.z;
    r.m[11] = Dot(f, eye);
    return r;
}

Matrix4 Perspective(float fieldOfViewDegrees, float aspect, float zNear, float zFar) {
    const auto half =
        static_cast<float>(static_cast<double>(fieldOfViewDegrees) * kRadiansPerDegree * 0.5);
    const float t = Tan(half);
    const auto c = static_cast<float>(1.0 / static_cast<double>(t));
    Matrix4 r;
    for (float& element : r.m) {
        element = 0.0f;
    }
    r.m[0] = c / aspect;
    r.m[5] = c;
    r.m[10] = (zNear + zFar) / (zNear - zFar);
    r.m[11] = zNear * (zFar * 2.0f) / (zNear - zFar);
    r.m[14] = -1.0f;
    return r;
}

}  // namespace Quellon
