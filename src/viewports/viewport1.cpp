// Viewport 1, lower left: the scene through the first camera, with the
// moving camera in it.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_Viewport1(PyObject*, PyObject*) {
    return run_body("Movra.Viewport1", __FILE__, [](Frame& f) {
        AT(137); G(glViewport)({K.i_0, K.i_0, to_int(G(sizeViewport)), to_int(G(sizeViewport))});
        AT(138); Ref eye[] = {G(eyeX), G(eyeY), G(eyeZ)};
        AT(139); [[maybe_unused]] PyObject* const lookat[] = {K.f_0_0, K.f_0_0, K.f_m1_0};
        AT(140); PyObject* const updir[] = {K.f_0_0, K.f_1_0, K.f_0_0};
        AT(141); G(glMatrixMode)(G(GL_PROJECTION));
        AT(142); G(glLoadIdentity)();
        AT(143); G(glFrustum)({G(left), G(right), G(bottom), G(top), G(near), G(far)});
        AT(144); G(glMatrixMode)(G(GL_MODELVIEW));
        AT(145); G(glLoadIdentity)();
        AT(146); G(gluLookAt)({eye[0], eye[1], eye[2],
                               eye[0].add(G(tan)(G(pan).div(K.f_180_0).mul(G(pi)))),
                               eye[1].add(G(tan)(G(tilt).div(K.f_180_0).mul(G(pi)))),
                               eye[2].sub(K.i_1),
                               updir[0], updir[1], updir[2]});
        AT(147); G(drawScene)();
        AT(148); G(drawMovingCamera)();
        return none();
    });
}

}  // namespace movra
