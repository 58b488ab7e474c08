#version 120

// Shades a pixel of a far boid's polygon where its ray meets the boid's ellipsoid, lit as the
// mesh is; the work is in the space where the ellipsoid is the unit sphere. The polygon's corners
// reach past the outline; their pixels take the outline's shade, since leaving them out
// (discard) would make the renderer shade every pixel of every polygon before its depth test,
// several times the frame's cost where boids crowd.

// The squares of the ellipsoid's inverse semi-axes: the eye-space normal's length squared at
// unit-space point h is the sum of h_i^2 times these.
uniform vec3 inverseAxes2;

varying vec3 boidColour;
varying vec3 rayOrigin;
varying vec3 rayDirection;
varying vec3 light;

void main() {
    float a = dot(rayDirection, rayDirection);
    float b = dot(rayOrigin, rayDirection);
    float c = dot(rayOrigin, rayOrigin) - 1.0;
    float discriminant = max(b * b - a * c, 0.0);
    vec3 hit = rayOrigin + rayDirection * ((-b - sqrt(discriminant)) / a);
    float facing = dot(hit, light) * inversesqrt(dot(hit * hit, inverseAxes2));
    gl_FragColor = vec4(boidColour * (0.3 + 0.7 * max(facing, 0.0)), 1.0);
}
