// The camera figures: a static camera looking down its own -z axis, and the
// moving camera, placed on its orbit and turned by its heading and tilt.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_drawMovingCamera(PyObject*, PyObject*) {
    return run_body("Movra.drawMovingCamera", __FILE__, [](Frame& f) {
        AT(112); Ref movingCameraTilt =
                     G(rad2deg)(G(arctan2)({G(movingCameraPos).item(1), G(movingCameraRadius)}))
                         .neg();
        AT(113); Ref deg = G(movingCameraAngle);
        AT(114); G(glPushMatrix)();
        AT(115); G(glTranslatef)({G(movingCameraPos).item(0), G(movingCameraPos).item(1),
                                  G(movingCameraPos).item(2)});
        AT(116); G(glRotatef)({deg, K.i_0, K.i_1, K.i_0});
        AT(117); G(glRotatef)({movingCameraTilt, K.i_1, K.i_0, K.i_0});
        AT(118); G(drawCamera)();
        AT(119); G(glPopMatrix)();
        return none();
    });
}

PyObject* fn_drawCamera(PyObject*, PyObject*) {
    return run_body("Movra.drawCamera", __FILE__, [](Frame& f) {
        AT(127); G(glPushMatrix)();
        AT(128); G(glRotatef).apply(K.args_turn_around);
        AT(129); G(glScalef).apply(K.args_camera_body);
        AT(130); G(drawGrayCube)(K.f_0_5);
        AT(131); G(glTranslatef).apply(K.args_lens_shift);
        AT(132); G(gluCylinder)({G(myQuadric), K.f_0_2, K.f_0_3, K.f_0_3, K.i_10, K.i_10});
        AT(133); G(glPopMatrix)();
        return none();
    });
}

}  // namespace movra
