// The first camera's view volume, placed where that camera stands and turned
// by its pan and tilt.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_drawMovingViewVolume(PyObject*, PyObject*) {
    return run_body("Movra.drawMovingViewVolume", __FILE__, [](Frame& f) {
        AT(96);  G(glPushMatrix)();
        AT(97);  G(glTranslatef)({G(eyeX), G(eyeY), G(eyeZ)});
        AT(98);  G(glRotatef)({G(pan).neg(), K.i_0, K.i_1, K.i_0});
        AT(99); G(glRotatef)({G(tilt), K.i_1, K.i_0, K.i_0});
        AT(100); G(drawViewVolume)({G(left), G(right), G(bottom), G(top), G(near), G(far)});
        AT(101); G(glPopMatrix)();
        return none();
    });
}

}  // namespace movra
