// One-time GL state: depth test, face handling, clear values, the quadric.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_initGL(PyObject*, PyObject*) {
    return run_body("Movra.initGL", __FILE__, [](Frame& f) {
        AT(60); G(glFrontFace)(G(GL_CCW));
        AT(61); G(glEnable)(G(GL_DEPTH_TEST));
        AT(62); G(glDepthFunc)(G(GL_LEQUAL));
        AT(63); G(glDisable)(G(GL_CULL_FACE));
        AT(64); G(glClearColor).apply(K.args_clear_color);
        AT(65); G(glClearDepth)(K.i_1);
        AT(66); set_global(K.myQuadric, G(gluNewQuadric)());
        return none();
    });
}

}  // namespace movra
