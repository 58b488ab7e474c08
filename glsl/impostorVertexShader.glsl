#version 120
#extension GL_ARB_draw_instanced : require
#extension GL_EXT_gpu_shader4 : require

// Draws a boid too small for its mesh to show as a flat polygon about its outline, linked with
// boidData.glsl: the ellipsoid of the mesh's extent (shapeCentre, shapeAxes), turned as the mesh
// would be. The pixel shader casts each pixel's ray at the ellipsoid and shades it as the mesh's
// surface is lit. Each instance steers boidsPerInstance polygons of corners vertices each, the
// vertex's x and y the cosine and sine of its corner's angle: polygon k draws boid
// firstBoid + boidsPerInstance * instance + k, up to levelEnd.

uniform mat4 viewMatrix;
uniform mat4 projectionMatrix;
uniform float boidsCount;
uniform int firstBoid;
uniform int levelEnd;
uniform int boidsPerInstance;
uniform int corners;
uniform vec3 shapeCentre;
uniform vec3 shapeAxes;
// The light's direction in eye space.
uniform vec3 eyeLightDir;

varying vec3 boidColour;
// In the space where the ellipsoid is the unit sphere about the origin, which the pixel shader
// works in: the eye's position, the ray from it through the vertex (which interpolates to the
// pixel's ray across the flat polygon) and the light's direction as the normal sees it there.
varying vec3 rayOrigin;
varying vec3 rayDirection;
varying vec3 light;

vec3 BoidPosition(int boid);
vec3 BoidVelocity(int boid);
mat3 BoidOrientation(vec3 velocity);
vec3 BoidColour(int boid, vec3 velocity, vec3 forward);

void Outside() {
    gl_Position = vec4(0.0, 0.0, 2.0, 1.0);
    boidColour = vec3(0.0);
    rayOrigin = vec3(0.0);
    rayDirection = vec3(0.0, 0.0, 1.0);
    light = vec3(0.0);
}

void main() {
    int boid = firstBoid + gl_InstanceIDARB * boidsPerInstance + gl_VertexID / corners;
    if (boid >= levelEnd || float(boid) >= boidsCount) {
        Outside();
        return;
    }
    vec3 velocity = BoidVelocity(boid);
    mat3 orientation = BoidOrientation(velocity);
    mat3 toEye = mat3(viewMatrix) * orientation;
    vec3 centre = (viewMatrix * vec4(BoidPosition(boid), 1.0)).xyz + toEye * shapeCentre;
    // Rows that take an eye-space direction to the unit sphere's space.
    vec3 axisX = toEye[0] / shapeAxes.x;
    vec3 axisY = toEye[1] / shapeAxes.y;
    vec3 axisZ = toEye[2] / shapeAxes.z;
    rayOrigin = -vec3(dot(axisX, centre), dot(axisY, centre), dot(axisZ, centre));
    // The eye-space normal at unit-space point h is the sum of axis_i h_i, so its product with
    // the light is h's with these.
    light = vec3(dot(axisX, eyeLightDir), dot(axisY, eyeLightDir), dot(axisZ, eyeLightDir));
    float eyeDistance2 = dot(rayOrigin, rayOrigin);
    if (eyeDistance2 <= 1.0001) {
        // The eye inside the ellipsoid has no outline; far boids never get here.
        Outside();
        return;
    }
    // The sphere's outline seen from the eye is the circle where the tangent rays touch it. The
    // polygon lies in its plane, about its centre, with the circle's area: its corners reach a
    // little past the outline and its edges fall a little short of it.
    vec3 toward = rayOrigin * inversesqrt(eyeDistance2);
    vec3 first = normalize(cross(toward, abs(toward.x) < 0.9 ? vec3(1.0, 0.0, 0.0)
                                                              : vec3(0.0, 1.0, 0.0)));
    vec3 second = cross(toward, first);
    float turn = 6.2831853 / float(corners);
    float radius = sqrt((1.0 - 1.0 / eyeDistance2) * turn / sin(turn));
    vec3 unit = rayOrigin / eyeDistance2 + radius * (gl_Vertex.x * first + gl_Vertex.y * second);
    rayDirection = unit - rayOrigin;
    vec3 eye = centre + toEye * (shapeAxes * unit);
    gl_Position = projectionMatrix * vec4(eye, 1.0);
    boidColour = BoidColour(boid, velocity, orientation[2]);
}
