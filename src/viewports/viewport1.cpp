// Viewport 1, lower left: the scene through the first camera, with the
// moving camera in it.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_Viewport1(PyObject*, PyObject*) {
    return run_body("Movra.Viewport1", __FILE__, [](Frame& f) {
        AT(137); G(glViewport)({K.i_0, K.i_0, to_int(G(sizeViewport)), to_int(G(sizeViewport))});
        AT(138); Ref eye = list({G(eyeX), G(eyeY), G(eyeZ)});
        AT(139); Ref lookat = list({K.f_0_0, K.f_0_0, K.f_m1_0});
        AT(140); Ref updir = list({K.f_0_0, K.f_1_0, K.f_0_0});
        AT(141); G(glMatrixMode)(G(GL_PROJECTION));
        AT(142); G(glLoadIdentity)();
        AT(143); G(glFrustum)({G(left), G(right), G(bottom), G(top), G(near), G(far)});
        AT(144); G(glMatrixMode)(G(GL_MODELVIEW));
        AT(145); G(glLoadIdentity)();
        AT(146); G(gluLookAt)({eye.item(0), eye.item(1), eye.item(2),
                               eye.item(0).add(G(tan)(G(pan).div(K.f_180_0).mul(G(pi)))),
                               eye.item(1).add(G(tan)(G(tilt).div(K.f_180_0).mul(G(pi)))),
                               eye.item(2).sub(K.i_1),
                               updir.item(0), updir.item(1), updir.item(2)});
        AT(147); G(drawScene)();
        AT(148); G(drawMovingCamera)();
        return none();
    });
}

}  // namespace movra
