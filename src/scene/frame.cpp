// The frame: clear the whole window once, then draw the four viewports.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_drawMain(PyObject*, PyObject*) {
    return run_body("Movra.drawMain", __FILE__, [](Frame& f) {
        AT(288); G(glClearColor).apply(K.args_clear_color);
        AT(289); G(glClear)(G(GL_COLOR_BUFFER_BIT).bit_or(G(GL_DEPTH_BUFFER_BIT)));
        AT(290); G(Viewport1)();
        AT(291); G(Viewport2)();
        AT(292); G(Viewport3)();
        AT(293); G(Viewport4)();
        return none();
    });
}

}  // namespace movra
