#version 120
#extension GL_EXT_gpu_shader4 : require

// What both flock programs read of a boid: its texels, the basis it is drawn in and its colour.
// Boid i's position is texel ni of flockData, its velocity texel ni + 1 and, with
// n = texelsPerBoid = 3, the value it is coloured by the red of texel ni + 2; texel k lies at
// column k mod dataWidth, row k div dataWidth.
// colourBy: 0 speed, 1 the value times valueScale, 2 heading (the direction about +Y as a hue).

uniform sampler2D flockData;
uniform float dataWidth;
uniform int texelsPerBoid;
uniform int colourBy;
uniform float valueScale;

vec3 FetchTexel(int k) {
    int width = int(dataWidth + 0.5);
    int row = k / width;
    return texelFetch2D(flockData, ivec2(k - row * width, row), 0).rgb;
}

vec3 BoidPosition(int boid) {
    return FetchTexel(texelsPerBoid * boid);
}

vec3 BoidVelocity(int boid) {
    return FetchTexel(texelsPerBoid * boid + 1);
}

// The local matrix turns the teapot's spout to +Z with its lid up +Y; this basis turns +Z along
// the velocity. A boid at rest keeps +Z, so no direction ever divides by zero.
mat3 BoidOrientation(vec3 velocity) {
    float speed = length(velocity);
    vec3 forward = speed > 1e-6 ? velocity / speed : vec3(0.0, 0.0, 1.0);
    vec3 worldUp = abs(forward.y) < 0.999 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0);
    vec3 side = normalize(cross(worldUp, forward));
    return mat3(side, cross(forward, side), forward);
}

vec3 BoidColour(int boid, vec3 velocity, vec3 forward) {
    if (colourBy == 2) {
        // The hue turns once with the heading about +Y, from +X towards +Z.
        float turns = fract(atan(forward.z, forward.x) / 6.2831853 + 1.0);
        vec3 x = fract(turns + vec3(0.0, 2.0 / 3.0, 1.0 / 3.0)) * 6.0;
        return clamp(abs(x - 3.0) - 1.0, 0.0, 1.0);
    }
    // Slow boids are blue, fast ones orange, so clusters and stragglers stand out; a value
    // chosen instead runs over the same colours.
    float high = colourBy == 1 ? FetchTexel(texelsPerBoid * boid + 2).r * valueScale
                               : length(velocity) / 8.0;
    return mix(vec3(0.15, 0.35, 0.95), vec3(1.0, 0.55, 0.1), clamp(high, 0.0, 1.0));
}
