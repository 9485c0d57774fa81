// Viewport 2, lower right: an orthographic overview from a fixed observer of
// the scene, the moving camera and the first camera's view volume.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_Viewport2(PyObject*, PyObject*) {
    return run_body("Movra.Viewport2", __FILE__, [](Frame& f) {
        AT(152); G(glViewport)({to_int(G(sizeViewport)), K.i_0, to_int(G(sizeViewport)),
                                to_int(G(sizeViewport))});
        AT(153); G(glMatrixMode)(G(GL_PROJECTION));
        AT(154); G(glLoadIdentity)();
        AT(155); G(glOrtho).apply(K.args_ortho_v2);
        AT(156); PyObject* const eye2[] = {K.f_2_0, K.i_1, K.f_4_0};
        AT(157); Ref lookat2[] = {borrow(K.f_0_0), borrow(K.f_0_0), G(near).add(G(far)).neg().div(K.i_2)};
        AT(158); PyObject* const updir[] = {K.f_0_0, K.f_1_0, K.f_0_0};
        AT(159); G(glMatrixMode)(G(GL_MODELVIEW));
        AT(160); G(glLoadIdentity)();
        AT(161); G(gluLookAt)({eye2[0], eye2[1], eye2[2],
                               lookat2[0], lookat2[1], lookat2[2],
                               updir[0], updir[1], updir[2]});
        AT(162); G(drawScene)();
        AT(163); G(drawMovingCamera)();
        AT(164); G(drawMovingViewVolume)();
        return none();
    });
}

}  // namespace movra
