// Viewport 3, upper left: the scene after the first camera's projective
// transformation and the normalisation of its view volume onto the cube
// [-1, 1]^3, seen orthographically from a fixed observer.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_Viewport3(PyObject*, PyObject*) {
    return run_body("Movra.Viewport3", __FILE__, [](Frame& f) {
        AT(168); G(glViewport)({K.i_0, to_int(G(sizeViewport)), to_int(G(sizeViewport)),
                                to_int(G(sizeViewport))});
        AT(169); G(glMatrixMode)(G(GL_PROJECTION));
        AT(170); G(glLoadIdentity)();
        AT(171); G(glOrtho).apply(K.args_ortho_v3);
        AT(172); PyObject* const updir[] = {K.f_0_0, K.f_1_0, K.f_0_0};
        AT(173); G(glMatrixMode)(G(GL_MODELVIEW));
        AT(174); G(glLoadIdentity)();
        AT(175); G(gluLookAt)({K.i_7, K.i_4, K.i_5, K.i_0, K.i_0, K.i_0,
                               updir[0], updir[1], updir[2]});
        AT(176); Ref M = G(projective)({G(near), G(far)});
        AT(177); G(glPushMatrix)();
        AT(178); G(glScalef).apply(K.args_mirror_z);
        AT(179); G(draw3DCoordinateAxes)();
        AT(180); G(glPopMatrix)();
        AT(181); G(glTranslatef).apply(K.args_to_corner);
        AT(182); G(glScalef)({borrow(K.f_2_0).div(G(right).sub(G(left))),
                              borrow(K.f_2_0).div(G(top).sub(G(bottom))),
                              borrow(K.f_2_0).div(G(far).sub(G(near)))});
        AT(183); G(glTranslatef)({G(left).neg(), G(bottom).neg(), G(near)});
        AT(184); G(glMultMatrixf)(G(transpose)(M));
        AT(185); G(drawViewVolume)({G(left), G(right), G(bottom), G(top), G(near), G(far)});
        AT(186); G(glTranslatef)({G(eyeX).neg(), G(eyeY).neg(), G(eyeZ).neg()});
        AT(187); G(glRotatef)({G(pan), K.i_0, K.i_1, K.i_0});
        AT(188); G(glRotatef)({G(tilt).neg(), K.i_1, K.i_0, K.i_0});
        AT(189); G(drawScene)();
        AT(190); G(drawMovingCamera)();
        return none();
    });
}

}  // namespace movra
