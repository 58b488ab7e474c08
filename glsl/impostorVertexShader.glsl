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

varying vec3 boidColour;
// In the space where the ellipsoid is the unit sphere about the origin: the eye's position, and
// the rows that take an eye-space direction there (eye-space axes over semi-axes).
varying vec3 rayOrigin;
varying vec3 axisX;
varying vec3 axisY;
varying vec3 axisZ;

vec3 BoidPosition(int boid);
vec3 BoidVelocity(int boid);
mat3 BoidOrientation(vec3 velocity);
vec3 BoidColour(int boid, vec3 velocity, vec3 forward);

void Outside() {
    gl_Position = vec4(0.0, 0.0, 2.0, 1.0);
    boidColour = vec3(0.0);
    rayOrigin = vec3(0.0);
    axisX = vec3(0.0);
    axisY = vec3(0.0);
    axisZ = vec3(0.0);
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
    axisX = toEye[0] / shapeAxes.x;
    axisY = toEye[1] / shapeAxes.y;
    axisZ = toEye[2] / shapeAxes.z;
    rayOrigin = -vec3(dot(axisX, centre), dot(axisY, centre), dot(axisZ, centre));
    float eyeDistance2 = dot(rayOrigin, rayOrigin);
    if (eyeDistance2 <= 1.0001) {
        // The eye inside the ellipsoid has no outline; far boids never get here.
        Outside();
        return;
    }
    // The sphere's outline seen from the eye is the circle where the tangent rays touch it. The
    // polygon lies in its plane, about it: a projection keeps tangency, so the polygon's picture
    // holds the outline's, which it exceeds only at its corners.
    vec3 toward = rayOrigin * inversesqrt(eyeDistance2);
    vec3 first = normalize(cross(toward, abs(toward.x) < 0.9 ? vec3(1.0, 0.0, 0.0)
                                                              : vec3(0.0, 1.0, 0.0)));
    vec3 second = cross(toward, first);
    float radius = sqrt(1.0 - 1.0 / eyeDistance2) / cos(3.14159265 / float(corners));
    vec3 unit = rayOrigin / eyeDistance2 + radius * (gl_Vertex.x * first + gl_Vertex.y * second);
    vec3 eye = centre + toEye * (shapeAxes * unit);
    gl_Position = projectionMatrix * vec4(eye, 1.0);
    boidColour = BoidColour(boid, velocity, orientation[2]);
}
