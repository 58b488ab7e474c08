#version 120

uniform vec3 tint;

varying vec3 colour;

void main() {
    gl_FragColor = vec4(colour * tint, 1.0);
}
