#version 120

// Draws one predator or obstacle: the mesh placed by modelMatrix, lit as the boids are.

uniform mat4 modelMatrix;
uniform mat4 viewMatrix;
uniform mat4 projectionMatrix;
uniform vec3 lightDir;

varying float lighting;

void main() {
    gl_Position = projectionMatrix * (viewMatrix * (modelMatrix * gl_Vertex));
    vec3 normal = mat3(modelMatrix) * gl_Normal;
    float normalLength = length(normal);
    float facing = normalLength > 0.0 ? dot(normal / normalLength, lightDir) : 0.0;
    lighting = 0.3 + 0.7 * max(facing, 0.0);
}
