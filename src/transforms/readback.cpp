// Reads back the current GL modelview and projection matrices, prints each
// with its label and returns both, in the row-and-column layout of the
// module's own matrices.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_getGL_MODELVIEW_PROJ(PyObject*, PyObject*) {
    return run_body("Movra.getGL_MODELVIEW_PROJ", __FILE__, [](Frame& f) {
        AT(46); Ref glModelViewMatrix = G(transpose)(G(glGetDoublev)(G(GL_MODELVIEW_MATRIX)));
        AT(47); print_object(tuple({K.label_modelview, glModelViewMatrix}));
        AT(48); Ref glProjectionMatrix = G(transpose)(G(glGetDoublev)(G(GL_PROJECTION_MATRIX)));
        AT(49); print_object(tuple({K.label_projection, glProjectionMatrix}));
        AT(50); return tuple({glModelViewMatrix, glProjectionMatrix});
    });
}

}  // namespace movra
