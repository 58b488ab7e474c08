#version 120

uniform vec3 colour;

varying float lighting;

void main() {
    gl_FragColor = vec4(colour * lighting, 1.0);
}
