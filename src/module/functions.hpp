// The native functions behind the module's eighteen function objects. Each
// has the signature its call kind needs: (self, unused) for no arguments,
// (self, arg) for one argument, and for keywords (self, positional arguments,
// their count, keywords or NULL) as runtime/function.hpp's KeywordFunction,
// which module/function_table.cpp adapts to the interpreter's convention. `self` is
// the function object itself and is ignored.
#pragma once

#include <Python.h>

namespace movra {

PyObject* fn_getGL_MODELVIEW_PROJ(PyObject* self, PyObject* unused);
PyObject* fn_initGL(PyObject* self, PyObject* unused);
PyObject* fn_drawScene(PyObject* self, PyObject* unused);
PyObject* fn_drawMovingViewVolume(PyObject* self, PyObject* unused);
PyObject* fn_drawMovingCamera(PyObject* self, PyObject* unused);
PyObject* fn_drawCamera(PyObject* self, PyObject* unused);
PyObject* fn_Viewport1(PyObject* self, PyObject* unused);
PyObject* fn_Viewport2(PyObject* self, PyObject* unused);
PyObject* fn_Viewport3(PyObject* self, PyObject* unused);
PyObject* fn_rotateX(PyObject* self, PyObject* angle_deg);
PyObject* fn_rotateY(PyObject* self, PyObject* angle_deg);
PyObject* fn_translate(PyObject* self, PyObject* translate_vec);
PyObject* fn_scale(PyObject* self, PyObject* s);
PyObject* fn_projective(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords);
PyObject* fn_perspective(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords);
PyObject* fn_Viewport4(PyObject* self, PyObject* unused);
PyObject* fn_drawMain(PyObject* self, PyObject* unused);
PyObject* fn_updateAnimationVariables(PyObject* self, PyObject* unused);

}  // namespace movra
