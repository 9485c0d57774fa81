// Viewport 4, upper right: the scene through the moving camera. The global
// viewport4Sol1 chooses, at every call, between GLU's perspective and look-at
// and the module's own matrices.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_Viewport4(PyObject*, PyObject*) {
    return run_body("Movra.Viewport4", __FILE__, [](Frame& f) {
        AT(255); G(glViewport)({to_int(G(sizeViewport)), to_int(G(sizeViewport)),
                                to_int(G(sizeViewport)), to_int(G(sizeViewport))});
        AT(256); if (truth(G(viewport4Sol1))) {
            AT(257); G(glMatrixMode)(G(GL_PROJECTION));
            AT(258); G(glLoadIdentity)();
            AT(259); G(gluPerspective).apply(K.args_perspective);
            AT(260); G(glMatrixMode)(G(GL_MODELVIEW));
            AT(261); G(glLoadIdentity)();
            AT(262); Ref lookat[] = {borrow(K.f_0_0), borrow(K.f_0_0), G(near).add(G(far)).neg().div(K.i_2)};
            AT(263); PyObject* const updir[] = {K.f_0_0, K.f_1_0, K.f_0_0};
            AT(264); G(gluLookAt)({G(movingCameraPos).item(0), G(movingCameraPos).item(1),
                                   G(movingCameraPos).item(2),
                                   lookat[0], lookat[1], lookat[2],
                                   updir[0], updir[1], updir[2]});
            AT(265); G(drawScene)();
            AT(266); G(drawMovingViewVolume)();
        } else {
            AT(268); G(glMatrixMode)(G(GL_PROJECTION));
            AT(269); G(glLoadIdentity)();
            AT(270); Ref P = G(perspective).apply(K.args_perspective);
            AT(271); G(glMultMatrixd)(G(transpose)(P));
            AT(272); G(glMatrixMode)(G(GL_MODELVIEW));
            AT(273); G(glLoadIdentity)();
            AT(274); Ref deg = G(movingCameraAngle);
            AT(275); Ref movingCameraTilt =
                         G(rad2deg)(G(arctan2)({G(movingCameraPos).item(1), G(movingCameraRadius)}))
                             .neg();
            AT(276); Ref M = G(rotateX)(movingCameraTilt)
                                 .mul(G(rotateY)(deg))
                                 .mul(G(translate)(list({G(movingCameraPos).item(0).neg(),
                                                         G(movingCameraPos).item(1).neg(),
                                                         G(movingCameraPos).item(2).neg()})));
            AT(277); G(glMultMatrixd)(G(transpose)(M));
            AT(278); G(drawMovingViewVolume)();
            AT(279); G(drawScene)();
        }
        return none();
    });
}

}  // namespace movra
