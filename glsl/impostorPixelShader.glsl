#version 120

// Shades a pixel of a far boid's polygon where its ray meets the boid's ellipsoid, lit as the
// mesh is. The polygon's corners reach past the outline; their pixels take the outline's shade,
// since leaving them out (discard) would make the renderer shade every pixel of every polygon
// before its depth test, several times the frame's cost where boids crowd.

// Takes the pixel's window position to its ray's direction in eye space at a depth of 1.
uniform vec4 rayScale;
// The light's direction in eye space.
uniform vec3 eyeLightDir;

varying vec3 boidColour;
varying vec3 rayOrigin;
varying vec3 axisX;
varying vec3 axisY;
varying vec3 axisZ;

void main() {
    vec3 ray = vec3(gl_FragCoord.xy * rayScale.xy + rayScale.zw, -1.0);
    vec3 direction = vec3(dot(axisX, ray), dot(axisY, ray), dot(axisZ, ray));
    float a = dot(direction, direction);
    float b = dot(rayOrigin, direction);
    float discriminant = max(b * b - a * (dot(rayOrigin, rayOrigin) - 1.0), 0.0);
    vec3 hit = rayOrigin + direction * ((-b - sqrt(discriminant)) / a);
    vec3 normal = axisX * hit.x + axisY * hit.y + axisZ * hit.z;
    float lighting = 0.3 + 0.7 * max(dot(normalize(normal), eyeLightDir), 0.0);
    gl_FragColor = vec4(boidColour * lighting, 1.0);
}
