// The sample scene: axes at the origin, the coloured cube three units down -z
// turning with the moving camera's angle, and a sphere.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_drawScene(PyObject*, PyObject*) {
    return run_body("Movra.drawScene", __FILE__, [](Frame& f) {
        AT(73); G(draw3DCoordinateAxes)();
        AT(74); Ref deg = G(movingCameraAngle);
        AT(75); G(glPushMatrix)();
        AT(76); G(glTranslatef).apply(K.args_cube_at);
        AT(77); G(glRotatef)({deg, K.i_0, K.i_1, K.i_0});
        AT(78); G(drawColoredCube)(K.i_1);
        AT(79); G(glPopMatrix)();
        AT(80); G(glPushMatrix)();
        AT(81); G(glTranslatef).apply(K.args_sphere_at);
        AT(82); G(gluSphere)({G(myQuadric), K.f_0_5, K.i_20, K.i_20});
        AT(83); G(glPopMatrix)();
        return none();
    });
}

}  // namespace movra
