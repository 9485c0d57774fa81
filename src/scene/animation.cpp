// One timer tick: the moving camera goes one degree further round its orbit.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_updateAnimationVariables(PyObject*, PyObject*) {
    return run_body("Movra.updateAnimationVariables", __FILE__, [](Frame& f) {
        AT(303); Ref theta = G(deg2rad)(G(movingCameraAngle));
        AT(304); set_global(K.movingCameraAngle, G(movingCameraAngle).add(K.i_1));
        AT(305); set_global(K.movingCameraPos,
                            list({G(movingCameraRadius).mul(G(sin)(theta)),
                                  G(movingCameraHeight),
                                  G(near).add(G(far)).neg().div(K.i_2).add(
                                      G(movingCameraRadius).mul(G(cos)(theta)))}));
        return none();
    });
}

}  // namespace movra
