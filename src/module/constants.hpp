// The constant pool: every identifier, number and literal-only argument list
// the module uses, created once by initialisation before the first top-level
// statement and shared by every call afterwards.
#pragma once

#include <Python.h>

namespace movra {

// Identifiers, each one interned string. X(member, text).
#define MOVRA_NAMES(X)                                                          \
    /* modules and import machinery */                                          \
    X(sys, "sys") X(OpenGL_GLUT, "OpenGL.GLUT") X(OpenGL_GL, "OpenGL.GL")       \
    X(OpenGL_GLU, "OpenGL.GLU") X(numpy, "numpy") X(np, "np")                   \
    X(KestDrawHelperFunctions, "KestDrawHelperFunctions") X(star, "*")          \
    X(exit, "exit") X(stdout_name, "stdout") X(matrix, "matrix") X(eye, "eye") X(zeros, "zeros")         \
    X(__builtins__, "__builtins__") X(__test__, "__test__") X(Movra, "Movra")   \
    /* numpy names imported by name */                                          \
    X(sqrt, "sqrt") X(arctan2, "arctan2") X(cos, "cos") X(sin, "sin")           \
    X(tan, "tan") X(pi, "pi") X(transpose, "transpose") X(rad2deg, "rad2deg")   \
    X(deg2rad, "deg2rad")                                                       \
    /* module globals */                                                        \
    X(near, "near") X(far, "far") X(left, "left") X(right, "right")             \
    X(bottom, "bottom") X(top, "top") X(viewport4Sol1, "viewport4Sol1")         \
    X(movingCameraRadius, "movingCameraRadius")                                 \
    X(movingCameraHeight, "movingCameraHeight")                                 \
    X(movingCameraPos, "movingCameraPos") X(movingCameraAngle, "movingCameraAngle") \
    X(sizeViewport, "sizeViewport") X(eyeX, "eyeX") X(eyeY, "eyeY")             \
    X(eyeZ, "eyeZ") X(pan, "pan") X(tilt, "tilt") X(myQuadric, "myQuadric")     \
    /* the module's functions */                                                \
    X(getGL_MODELVIEW_PROJ, "getGL_MODELVIEW_PROJ") X(initGL, "initGL")         \
    X(drawScene, "drawScene") X(drawMovingViewVolume, "drawMovingViewVolume")   \
    X(drawMovingCamera, "drawMovingCamera") X(drawCamera, "drawCamera")         \
    X(Viewport1, "Viewport1") X(Viewport2, "Viewport2") X(Viewport3, "Viewport3") \
    X(rotateX, "rotateX") X(rotateY, "rotateY") X(translate, "translate")       \
    X(scale, "scale") X(projective, "projective") X(perspective, "perspective") \
    X(Viewport4, "Viewport4") X(drawMain, "drawMain")                           \
    X(updateAnimationVariables, "updateAnimationVariables")                     \
    /* OpenGL and GLU */                                                        \
    X(glGetDoublev, "glGetDoublev") X(GL_MODELVIEW_MATRIX, "GL_MODELVIEW_MATRIX") \
    X(GL_PROJECTION_MATRIX, "GL_PROJECTION_MATRIX") X(glFrontFace, "glFrontFace") \
    X(GL_CCW, "GL_CCW") X(glEnable, "glEnable") X(GL_DEPTH_TEST, "GL_DEPTH_TEST") \
    X(glDepthFunc, "glDepthFunc") X(GL_LEQUAL, "GL_LEQUAL")                     \
    X(glDisable, "glDisable") X(GL_CULL_FACE, "GL_CULL_FACE")                   \
    X(glClearColor, "glClearColor") X(glClearDepth, "glClearDepth")             \
    X(gluNewQuadric, "gluNewQuadric") X(glPushMatrix, "glPushMatrix")           \
    X(glPopMatrix, "glPopMatrix") X(glTranslatef, "glTranslatef")               \
    X(glRotatef, "glRotatef") X(glScalef, "glScalef") X(gluSphere, "gluSphere") \
    X(gluCylinder, "gluCylinder") X(glViewport, "glViewport")                   \
    X(glMatrixMode, "glMatrixMode") X(GL_PROJECTION, "GL_PROJECTION")           \
    X(GL_MODELVIEW, "GL_MODELVIEW") X(glLoadIdentity, "glLoadIdentity")         \
    X(glFrustum, "glFrustum") X(gluLookAt, "gluLookAt") X(glOrtho, "glOrtho")   \
    X(glMultMatrixf, "glMultMatrixf") X(glMultMatrixd, "glMultMatrixd")         \
    X(gluPerspective, "gluPerspective") X(glClear, "glClear")                   \
    X(GL_COLOR_BUFFER_BIT, "GL_COLOR_BUFFER_BIT")                               \
    X(GL_DEPTH_BUFFER_BIT, "GL_DEPTH_BUFFER_BIT")                               \
    /* drawing helpers */                                                       \
    X(draw3DCoordinateAxes, "draw3DCoordinateAxes")                             \
    X(drawColoredCube, "drawColoredCube") X(drawGrayCube, "drawGrayCube")       \
    X(drawViewVolume, "drawViewVolume")                                         \
    /* parameters and locals */                                                 \
    X(glModelViewMatrix, "glModelViewMatrix")                                   \
    X(glProjectionMatrix, "glProjectionMatrix") X(deg, "deg")                   \
    X(movingCameraTilt, "movingCameraTilt") X(lookat, "lookat")                 \
    X(updir, "updir") X(eye2, "eye2") X(lookat2, "lookat2") X(M, "M")           \
    X(angle_deg, "angle_deg") X(theta, "theta") X(R, "R")                       \
    X(translate_vec, "translate_vec") X(T, "T") X(s, "s") X(S, "S")             \
    X(fovy, "fovy") X(aspect, "aspect") X(P, "P") X(thetaY, "thetaY")

// Texts that are not identifiers and are not interned. X(member, text).
#define MOVRA_TEXTS(X)                                                          \
    X(pyopengl_error, "\nERROR: PyOpenGL not installed properly.\n        ")    \
    X(label_modelview, "GL_MODELVIEW ") X(label_projection, "GL_PROJECTION ")   \
    X(source_file, kSourceFile)

// Floats, then integers. X(member, value).
#define MOVRA_FLOATS(X)                                                         \
    X(f_0_0, 0.0) X(f_0_01, 0.01) X(f_0_2, 0.2) X(f_0_3, 0.3) X(f_0_5, 0.5)     \
    X(f_1_0, 1.0) X(f_2_0, 2.0) X(f_4_0, 4.0) X(f_7_0, 7.0) X(f_180_0, 180.0)   \
    X(f_m0_5, -0.5) X(f_m1_0, -1.0) X(f_m3_0, -3.0) X(f_m6_0, -6.0)

#define MOVRA_INTS(X)                                                           \
    X(i_0, 0) X(i_1, 1) X(i_2, 2) X(i_3, 3) X(i_4, 4) X(i_5, 5) X(i_7, 7)       \
    X(i_10, 10) X(i_20, 20) X(i_50, 50) X(i_60, 60) X(i_180, 180) X(i_350, 350) \
    X(i_m1, -1) X(i_m2, -2) X(i_m3, -3) X(i_m5, -5)

struct Constants {
#define MOVRA_MEMBER(member, value) PyObject* member = nullptr;
    MOVRA_NAMES(MOVRA_MEMBER)
    MOVRA_TEXTS(MOVRA_MEMBER)
    MOVRA_FLOATS(MOVRA_MEMBER)
    MOVRA_INTS(MOVRA_MEMBER)
#undef MOVRA_MEMBER

    // Literal-only argument lists, each built once.
    PyObject* args_clear_color = nullptr;   // (0.0, 0.0, 0.0, 1.0)
    PyObject* args_cube_at = nullptr;       // (0.0, 0, -3.0)
    PyObject* args_sphere_at = nullptr;     // (2.0, 0, -6.0)
    PyObject* args_turn_around = nullptr;   // (180, 0, 1, 0)
    PyObject* args_camera_body = nullptr;   // (0.5, 0.5, 1.0)
    PyObject* args_lens_shift = nullptr;    // (0, 0, 0.5)
    PyObject* args_ortho_v2 = nullptr;      // (-5, 5, -5, 5, -1, 50)
    PyObject* args_ortho_v3 = nullptr;      // (-3, 3, -3, 3, -3, 50)
    PyObject* args_mirror_z = nullptr;      // (1.0, 1.0, -1.0)
    PyObject* args_to_corner = nullptr;     // (-1, -1, 1)
    PyObject* args_perspective = nullptr;   // (60, 1, 0.01, 20)
    PyObject* shape_4x4 = nullptr;          // (4, 4), one argument of np.zeros
    PyObject* slice_to_3 = nullptr;         // slice(None, 3, None)
    PyObject* key_column_3 = nullptr;       // (slice(None, 3, None), 3)
};

extern Constants K;

// Creates the strings and numbers, then the tuples and the slice; each
// returns false with an error set on failure.
bool create_constants();
bool create_constant_tuples();

}  // namespace movra
