// The module's eighteen functions: method entries (name, native function,
// call kind, docstring) and what their code objects describe, in the order in
// which initialisation creates and binds them.
#include "module/function_table.hpp"

#include "module/functions.hpp"
#include "runtime/function.hpp"

namespace movra {
namespace {

// Docstrings, as the functions carry them.
const char doc_initGL[] =
    "\n"
    "    This function gets called at the very beginning and before any of the other\n"
    "    functions in this file by Window.__init__ All OpenGL related initialization\n"
    "    is done here.\n"
    "    ";
const char doc_drawScene[] =
    "\n"
    "    In this sample scene we have a rotating cube rotating with the moving camera\n"
    "    ";
const char doc_drawMovingViewVolume[] =
    "\n"
    "    This function draws the view volume of the camera in viewport 1. This gets\n"
    "    called by all the viewports that render the view volume of the 1st camera\n"
    "    (i.e. viewport 2 and 4). There is a function called drawViewVolume in\n"
    "    KestDrawHelperFunctions file that draws a static view volume. You can\n"
    "    call that functions after applying the appropriate transformations. Note that\n"
    "    the 'moving' part here refers to the fact that when you pan/tilt or translate\n"
    "    the first camera, its corresponding view volume will move in viewport 2 and 4.\n"
    "    ";
const char doc_drawMovingCamera[] =
    "\n"
    "    This function draws the 4th viewport camera as seen by the other viewports.\n"
    "    Since the camera is being animated we need to think about the correct transformations\n"
    "    to apply for it to be rendered correctly in all the viewports.\n"
    "    There is a functions called drawCamera which will draw a static camera.\n"
    "    We just reuse that function from here with the appropriate transformation.\n"
    "    ";
const char doc_drawCamera[] =
    "\n"
    "    This function draws a static camera. This should get called called by drawMovingCamera()\n"
    "    after appropriate transformation\n"
    "    ";
const char doc_translate[] =
    "\n"
    "    translate is a (1, 3) vector\n"
    "    The function is called as: translate([x, y, z])\n"
    "    ";
const char doc_scale[] =
    "\n"
    "    s is a (1, 3) vector\n"
    "    The function is called as: scale([sx, sy, sz])\n"
    "    ";
const char doc_perspective[] =
    "\n"
    "    Implement the perspective matrix here for Q4.\n"
    "    This function needs to be implemented using projective(near, far)\n"
    "    and normalization technique given in class. You cannot just look up \n"
    "    gluPerspective on the web. You are free to use any of the transformation\n"
    "    functions defined above e.g. scale, translate, and rotate.\n"
    "    ";
const char doc_drawMain[] =
    "\n"
    "    This is the main drawing function. All drawing code should be called by this \n"
    "    function. This function gets called from Scene.display which is the callback\n"
    "    function for glutDisplayFunc\n"
    "    ";
const char doc_updateAnimationVariables[] =
    "\n"
    "    All variables that are updated during animation are updated here. This function\n"
    "    gets called from Window.timer_func() that is implemented in KestMain\n"
    "    The only animated part required for the assignment is the moving camera.\n"
    "    ";

template <class F>
PyCFunction entry(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef function_entries[kFunctionCount] = {
    {"getGL_MODELVIEW_PROJ", entry(fn_getGL_MODELVIEW_PROJ), METH_NOARGS, nullptr},
    {"initGL", entry(fn_initGL), METH_NOARGS, doc_initGL},
    {"drawScene", entry(fn_drawScene), METH_NOARGS, doc_drawScene},
    {"drawMovingViewVolume", entry(fn_drawMovingViewVolume), METH_NOARGS, doc_drawMovingViewVolume},
    {"drawMovingCamera", entry(fn_drawMovingCamera), METH_NOARGS, doc_drawMovingCamera},
    {"drawCamera", entry(fn_drawCamera), METH_NOARGS, doc_drawCamera},
    {"Viewport1", entry(fn_Viewport1), METH_NOARGS, nullptr},
    {"Viewport2", entry(fn_Viewport2), METH_NOARGS, nullptr},
    {"Viewport3", entry(fn_Viewport3), METH_NOARGS, nullptr},
    {"rotateX", entry(fn_rotateX), METH_O, nullptr},
    {"rotateY", entry(fn_rotateY), METH_O, nullptr},
    {"translate", entry(fn_translate), METH_O, doc_translate},
    {"scale", entry(fn_scale), METH_O, doc_scale},
    {"projective", keyword_entry<fn_projective>(), kKeywordCallKind, nullptr},
    {"perspective", keyword_entry<fn_perspective>(), kKeywordCallKind, doc_perspective},
    {"Viewport4", entry(fn_Viewport4), METH_NOARGS, nullptr},
    {"drawMain", entry(fn_drawMain), METH_NOARGS, doc_drawMain},
    {"updateAnimationVariables", entry(fn_updateAnimationVariables), METH_NOARGS, doc_updateAnimationVariables},
};

const FunctionInfo function_infos[kFunctionCount] = {
    {&Constants::getGL_MODELVIEW_PROJ, 0, 2, {&Constants::glModelViewMatrix, &Constants::glProjectionMatrix}, 45},
    {&Constants::initGL, 0, 0, {}, 53},
    {&Constants::drawScene, 0, 1, {&Constants::deg}, 69},
    {&Constants::drawMovingViewVolume, 0, 0, {}, 86},
    {&Constants::drawMovingCamera, 0, 2, {&Constants::movingCameraTilt, &Constants::deg}, 104},
    {&Constants::drawCamera, 0, 0, {}, 122},
    {&Constants::Viewport1, 0, 3, {&Constants::eye, &Constants::lookat, &Constants::updir}, 136},
    {&Constants::Viewport2, 0, 3, {&Constants::eye2, &Constants::lookat2, &Constants::updir}, 151},
    {&Constants::Viewport3, 0, 2, {&Constants::updir, &Constants::M}, 167},
    {&Constants::rotateX, 1, 3, {&Constants::angle_deg, &Constants::theta, &Constants::R}, 193},
    {&Constants::rotateY, 1, 3, {&Constants::angle_deg, &Constants::theta, &Constants::R}, 199},
    {&Constants::translate, 1, 2, {&Constants::translate_vec, &Constants::T}, 205},
    {&Constants::scale, 1, 2, {&Constants::s, &Constants::S}, 215},
    {&Constants::projective, 2, 3, {&Constants::near, &Constants::far, &Constants::M}, 227},
    {&Constants::perspective, 4, 10, {&Constants::fovy, &Constants::aspect, &Constants::near, &Constants::far, &Constants::P, &Constants::thetaY, &Constants::top, &Constants::right, &Constants::left, &Constants::bottom}, 237},
    {&Constants::Viewport4, 0, 6, {&Constants::lookat, &Constants::updir, &Constants::P, &Constants::deg, &Constants::movingCameraTilt, &Constants::M}, 254},
    {&Constants::drawMain, 0, 0, {}, 282},
    {&Constants::updateAnimationVariables, 0, 1, {&Constants::theta}, 296},
};

}  // namespace movra
