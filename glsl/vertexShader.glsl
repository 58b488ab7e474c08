#version 120
#extension GL_ARB_draw_instanced : require
#extension GL_EXT_gpu_shader4 : require

// Draws one boid per instance, linked with boidData.glsl, which reads the flock texture. The
// program draws the flock in several instanced draws, one per level of detail; firstBoid is
// where the draw's boids begin and levelEnd where they end. Each instance steers
// boidsPerInstance copies of the mesh of meshVertices vertices each, one after the other: copy k
// draws boid firstBoid + boidsPerInstance * instance + k.

uniform mat4 localMatrix;
uniform mat4 viewMatrix;
uniform mat4 projectionMatrix;
uniform vec3 lightDir;
uniform float boidsCount;
uniform int firstBoid;
uniform int levelEnd;
uniform int boidsPerInstance;
uniform int meshVertices;

varying vec3 boidColour;
varying float lighting;

vec3 BoidPosition(int boid);
vec3 BoidVelocity(int boid);
mat3 BoidOrientation(vec3 velocity);
vec3 BoidColour(int boid, vec3 velocity, vec3 forward);

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
    vec3 position = BoidPosition(boid);
    vec3 velocity = BoidVelocity(boid);
    mat3 orientation = BoidOrientation(velocity);

    vec3 local = (localMatrix * gl_Vertex).xyz;
    vec3 world = position + orientation * local;
    gl_Position = projectionMatrix * (viewMatrix * vec4(world, 1.0));

    // Degenerate mesh triangles leave zero normals; they get the ambient term only.
    vec3 normal = orientation * (mat3(localMatrix) * gl_Normal);
    float normalLength = length(normal);
    float facing = normalLength > 0.0 ? dot(normal / normalLength, lightDir) : 0.0;
    lighting = 0.3 + 0.7 * max(facing, 0.0);
    boidColour = BoidColour(boid, velocity, orientation[2]);
}
