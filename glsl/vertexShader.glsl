#version 120
#extension GL_ARB_draw_instanced : require
#extension GL_EXT_gpu_shader4 : require

// Draws one boid per instance. Boid i's position is texel ni of flockData, its velocity texel
// ni + 1 and, with n = texelsPerBoid = 3, the value it is coloured by the red of texel ni + 2;
// texel k lies at column k mod dataWidth, row k div dataWidth. The program draws the flock in
// several instanced draws, one per level of detail; firstBoid is where the draw's boids begin and
// levelEnd where they end. Each instance steers boidsPerInstance copies of the mesh of
// meshVertices vertices each, one after the other: copy k draws boid firstBoid +
// boidsPerInstance * instance + k.
// colourBy: 0 speed, 1 the value times valueScale, 2 heading (the direction about +Y as a hue).

uniform mat4 localMatrix;
uniform mat4 viewMatrix;
uniform mat4 projectionMatrix;
uniform sampler2D flockData;
uniform vec3 lightDir;
uniform float dataWidth;
uniform float boidsCount;
uniform int firstBoid;
uniform int levelEnd;
uniform int boidsPerInstance;
uniform int meshVertices;
uniform int texelsPerBoid;
uniform int colourBy;
uniform float valueScale;

varying vec3 boidColour;
varying float lighting;

vec3 FetchTexel(int k) {
    int width = int(dataWidth + 0.5);
    int row = k / width;
    return texelFetch2D(flockData, ivec2(k - row * width, row), 0).rgb;
}

void main() {
    int boid = firstBoid + gl_InstanceIDARB * boidsPerInstance + gl_VertexID / meshVertices;
    if (boid >= levelEnd || float(boid) >= boidsCount) {
        // Copies past the level's boids, and texels past the flock, which hold stale boids: put
        // such a vertex outside the clip volume.
        gl_Position = vec4(0.0, 0.0, 2.0, 1.0);
        boidColour = vec3(0.0);
        lighting = 0.0;
        return;
    }
    vec3 position = FetchTexel(texelsPerBoid * boid);
    vec3 velocity = FetchTexel(texelsPerBoid * boid + 1);

    // The local matrix turns the teapot's spout to +Z with its lid up +Y; this basis turns +Z
    // along the velocity. A boid at rest keeps +Z, so no direction ever divides by zero.
    float speed = length(velocity);
    vec3 forward = speed > 1e-6 ? velocity / speed : vec3(0.0, 0.0, 1.0);
    vec3 worldUp = abs(forward.y) < 0.999 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0);
    vec3 side = normalize(cross(worldUp, forward));
    vec3 up = cross(forward, side);
    mat3 orientation = mat3(side, up, forward);

    vec3 local = (localMatrix * gl_Vertex).xyz;
    vec3 world = position + orientation * local;
    gl_Position = projectionMatrix * (viewMatrix * vec4(world, 1.0));

    // Degenerate mesh triangles leave zero normals; they get the ambient term only.
    vec3 normal = orientation * (mat3(localMatrix) * gl_Normal);
    float normalLength = length(normal);
    float facing = normalLength > 0.0 ? dot(normal / normalLength, lightDir) : 0.0;
    lighting = 0.3 + 0.7 * max(facing, 0.0);

    if (colourBy == 2) {
        // The hue turns once with the heading about +Y, from +X towards +Z.
        float turns = fract(atan(forward.z, forward.x) / 6.2831853 + 1.0);
        vec3 x = fract(turns + vec3(0.0, 2.0 / 3.0, 1.0 / 3.0)) * 6.0;
        boidColour = clamp(abs(x - 3.0) - 1.0, 0.0, 1.0);
        return;
    }
    // Slow boids are blue, fast ones orange, so clusters and stragglers stand out; a value
    // chosen instead runs over the same colours.
    float high = colourBy == 1 ? FetchTexel(texelsPerBoid * boid + 2).r * valueScale : speed / 8.0;
    boidColour = mix(vec3(0.15, 0.35, 0.95), vec3(1.0, 0.55, 0.1), clamp(high, 0.0, 1.0));
}
