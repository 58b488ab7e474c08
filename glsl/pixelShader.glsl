#version 120

varying vec3 boidColour;
varying float lighting;

void main() {
    gl_FragColor = vec4(boidColour * lighting, 1.0);
}
