#version 120
#extension GL_ARB_draw_instanced : require
#extension GL_EXT_gpu_shader4 : require

// Instance i is moved by the offset in texel (i, 0) of "offsets" and coloured by its normal,
// so a picture shows whether positions, normals, instances and the texture all arrived.
uniform sampler2D offsets;
uniform mat4 transform;
uniform float scale;

varying vec3 colour;

void main() {
    vec3 offset = texelFetch2D(offsets, ivec2(gl_InstanceIDARB, 0), 0).rgb;
    gl_Position = transform * vec4(gl_Vertex.xyz * scale + offset, 1.0);
    colour = abs(gl_Normal);
}
