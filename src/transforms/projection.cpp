// Projection matrices. projective(near, far) maps the frustum between the
// planes z = -near and z = -far onto a box, keeping those two depths; it
// returns the plain array. perspective(fovy, aspect, near, far) normalises
// that box onto the cube [-1, 1]^3 and returns a numpy.matrix equal to what
// gluPerspective applies. fovy is in degrees.
#include "module/functions.hpp"
#include "runtime/body.hpp"

namespace movra {

PyObject* fn_projective(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords) {
    PyObject* const params[] = {K.near, K.far};
    return run_bound("Movra.projective", __FILE__, 227, params, args, nargs, keywords,
                     [](Frame& f, const Ref* a) {
        const Ref &near = a[0], &far = a[1];
        AT(228); Ref M = G(np).attr(K.zeros)(K.shape_4x4);
        AT(229); M.item(0).set_item(0, near);
        AT(230); M.item(1).set_item(1, near);
        AT(231); { Ref v = near.add(far); M.item(2).set_item(2, v); }
        AT(232); M.item(3).set_item(2, K.i_m1);
        AT(233); { Ref v = near.mul(far); M.item(2).set_item(3, v); }
        AT(234); return M;
    });
}

PyObject* fn_perspective(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* keywords) {
    PyObject* const params[] = {K.fovy, K.aspect, K.near, K.far};
    return run_bound("Movra.perspective", __FILE__, 237, params, args, nargs, keywords,
                     [](Frame& f, const Ref* a) {
        const Ref &fovy = a[0], &aspect = a[1], &near = a[2], &far = a[3];
        AT(245); Ref thetaY = G(deg2rad)(fovy);
        AT(246); Ref top = near.mul(G(tan)(thetaY.div(K.f_2_0)));
        AT(247); Ref right = near.mul(aspect).mul(G(tan)(thetaY.div(K.f_2_0)));
        AT(248); Ref left = right.neg();
        AT(249); Ref bottom = top.neg();
        AT(250); Ref P = G(translate)(list({K.i_m1, K.i_m1, K.i_m1}))
                             .mul(G(scale)(list({borrow(K.i_2).div(right.sub(left)),
                                                 borrow(K.i_2).div(top.sub(bottom)),
                                                 borrow(K.i_m2).div(far.sub(near))})))
                             .mul(G(translate)(list({left.neg(), bottom.neg(), near})))
                             .mul(G(projective)({near, far}));
        AT(251); return G(np).attr(K.matrix)(P);
    });
}

}  // namespace movra
