"""
STUDENT NAME:
STUDENT ID:

Tavrel Lab
"""
from __future__ import division
import sys
try:
    from OpenGL.GLUT import *
    from OpenGL.GL import *
    from OpenGL.GLU import *
except:
    print('\nERROR: PyOpenGL not installed properly.\n        ')
    sys.exit()
import numpy as np
from numpy import sqrt, arctan2, cos, sin, tan, pi, transpose, rad2deg, deg2rad
from KestDrawHelperFunctions import *

# First camera: view volume.
near = 1.0
far = 7.0
left = -0.5
right = 0.5
bottom = -0.5
top = 0.5
# Viewport 4 set-up: True uses GLU, False the module's own matrices.
viewport4Sol1 = True
# Moving camera: orbit and animated state.
movingCameraRadius = 5
movingCameraHeight = 3
movingCameraPos = [0, 0, 0]
movingCameraAngle = 0
sizeViewport = int(350)
# First camera: pose.
eyeX = 0
eyeY = 0
eyeZ = 0
pan = 0
tilt = 0
# GLU quadric, created by initGL.
myQuadric = 0


def getGL_MODELVIEW_PROJ():
    glModelViewMatrix = transpose(glGetDoublev(GL_MODELVIEW_MATRIX))
    print(('GL_MODELVIEW ', glModelViewMatrix))
    glProjectionMatrix = transpose(glGetDoublev(GL_PROJECTION_MATRIX))
    print(('GL_PROJECTION ', glProjectionMatrix))
    return (glModelViewMatrix, glProjectionMatrix)


def initGL():
    """
    This function gets called at the very beginning and before any of the other
    functions in this file by Window.__init__ All OpenGL related initialization
    is done here.
    """
    global myQuadric
    glFrontFace(GL_CCW)
    glEnable(GL_DEPTH_TEST)
    glDepthFunc(GL_LEQUAL)
    glDisable(GL_CULL_FACE)
    glClearColor(0.0, 0.0, 0.0, 1.0)
    glClearDepth(1)
    myQuadric = gluNewQuadric()


def drawScene():
    """
    In this sample scene we have a rotating cube rotating with the moving camera
    """
    draw3DCoordinateAxes()
    deg = movingCameraAngle
    glPushMatrix()
    glTranslatef(0.0, 0, -3.0)
    glRotatef(deg, 0, 1, 0)
    drawColoredCube(1)
    glPopMatrix()
    glPushMatrix()
    glTranslatef(2.0, 0, -6.0)
    gluSphere(myQuadric, 0.5, 20, 20)
    glPopMatrix()


def drawMovingViewVolume():
    """
    This function draws the view volume of the camera in viewport 1. This gets
    called by all the viewports that render the view volume of the 1st camera
    (i.e. viewport 2 and 4). There is a function called drawViewVolume in
    KestDrawHelperFunctions file that draws a static view volume. You can
    call that functions after applying the appropriate transformations. Note that
    the 'moving' part here refers to the fact that when you pan/tilt or translate
    the first camera, its corresponding view volume will move in viewport 2 and 4.
    """
    glPushMatrix()
    glTranslatef(eyeX, eyeY, eyeZ)
    glRotatef(-pan, 0, 1, 0)
    glRotatef(tilt, 1, 0, 0)
    drawViewVolume(left, right, bottom, top, near, far)
    glPopMatrix()


def drawMovingCamera():
    """
    This function draws the 4th viewport camera as seen by the other viewports.
    Since the camera is being animated we need to think about the correct transformations
    to apply for it to be rendered correctly in all the viewports.
    There is a functions called drawCamera which will draw a static camera.
    We just reuse that function from here with the appropriate transformation.
    """
    movingCameraTilt = -rad2deg(arctan2(movingCameraPos[1], movingCameraRadius))
    deg = movingCameraAngle
    glPushMatrix()
    glTranslatef(movingCameraPos[0], movingCameraPos[1], movingCameraPos[2])
    glRotatef(deg, 0, 1, 0)
    glRotatef(movingCameraTilt, 1, 0, 0)
    drawCamera()
    glPopMatrix()


def drawCamera():
    """
    This function draws a static camera. This should get called called by drawMovingCamera()
    after appropriate transformation
    """
    glPushMatrix()
    glRotatef(180, 0, 1, 0)
    glScalef(0.5, 0.5, 1.0)
    drawGrayCube(0.5)
    glTranslatef(0, 0, 0.5)
    gluCylinder(myQuadric, 0.2, 0.3, 0.3, 10, 10)
    glPopMatrix()


def Viewport1():
    glViewport(0, 0, int(sizeViewport), int(sizeViewport))
    eye = [eyeX, eyeY, eyeZ]
    lookat = [0.0, 0.0, -1.0]
    updir = [0.0, 1.0, 0.0]
    glMatrixMode(GL_PROJECTION)
    glLoadIdentity()
    glFrustum(left, right, bottom, top, near, far)
    glMatrixMode(GL_MODELVIEW)
    glLoadIdentity()
    gluLookAt(eye[0], eye[1], eye[2], eye[0] + tan(pan / 180.0 * pi), eye[1] + tan(tilt / 180.0 * pi), eye[2] - 1, updir[0], updir[1], updir[2])
    drawScene()
    drawMovingCamera()


def Viewport2():
    glViewport(int(sizeViewport), 0, int(sizeViewport), int(sizeViewport))
    glMatrixMode(GL_PROJECTION)
    glLoadIdentity()
    glOrtho(-5, 5, -5, 5, -1, 50)
    eye2 = [2.0, 1, 4.0]
    lookat2 = [0.0, 0.0, -(near + far) / 2]
    updir = [0.0, 1.0, 0.0]
    glMatrixMode(GL_MODELVIEW)
    glLoadIdentity()
    gluLookAt(eye2[0], eye2[1], eye2[2], lookat2[0], lookat2[1], lookat2[2], updir[0], updir[1], updir[2])
    drawScene()
    drawMovingCamera()
    drawMovingViewVolume()


def Viewport3():
    glViewport(0, int(sizeViewport), int(sizeViewport), int(sizeViewport))
    glMatrixMode(GL_PROJECTION)
    glLoadIdentity()
    glOrtho(-3, 3, -3, 3, -3, 50)
    updir = [0.0, 1.0, 0.0]
    glMatrixMode(GL_MODELVIEW)
    glLoadIdentity()
    gluLookAt(7, 4, 5, 0, 0, 0, updir[0], updir[1], updir[2])
    M = projective(near, far)
    glPushMatrix()
    glScalef(1.0, 1.0, -1.0)
    draw3DCoordinateAxes()
    glPopMatrix()
    glTranslatef(-1, -1, 1)
    glScalef(2.0 / (right - left), 2.0 / (top - bottom), 2.0 / (far - near))
    glTranslatef(-left, -bottom, near)
    glMultMatrixf(transpose(M))
    drawViewVolume(left, right, bottom, top, near, far)
    glTranslatef(-eyeX, -eyeY, -eyeZ)
    glRotatef(pan, 0, 1, 0)
    glRotatef(-tilt, 1, 0, 0)
    drawScene()
    drawMovingCamera()


def rotateX(angle_deg):
    theta = deg2rad(angle_deg)
    R = [[1, 0, 0, 0], [0, cos(theta), sin(theta), 0], [0, -sin(theta), cos(theta), 0], [0, 0, 0, 1]]
    return np.matrix(R)


def rotateY(angle_deg):
    theta = deg2rad(angle_deg)
    R = [[cos(theta), 0, -sin(theta), 0], [0, 1, 0, 0], [sin(theta), 0, cos(theta), 0], [0, 0, 0, 1]]
    return np.matrix(R)


def translate(translate_vec):
    """
    translate is a (1, 3) vector
    The function is called as: translate([x, y, z])
    """
    T = np.eye(4)
    T[:3, 3] = translate_vec
    return np.matrix(T)


def scale(s):
    """
    s is a (1, 3) vector
    The function is called as: scale([sx, sy, sz])
    """
    S = np.eye(4)
    S[0][0] = s[0]
    S[1][1] = s[1]
    S[2][2] = s[2]
    return np.matrix(S)


def projective(near, far):
    M = np.zeros((4, 4))
    M[0][0] = near
    M[1][1] = near
    M[2][2] = near + far
    M[3][2] = -1
    M[2][3] = near * far
    return M


def perspective(fovy, aspect, near, far):
    """
    Implement the perspective matrix here for Q4.
    This function needs to be implemented using projective(near, far)
    and normalization technique given in class. You cannot just look up 
    gluPerspective on the web. You are free to use any of the transformation
    functions defined above e.g. scale, translate, and rotate.
    """
    thetaY = deg2rad(fovy)
    top = near * tan(thetaY / 2.0)
    right = near * aspect * tan(thetaY / 2.0)
    left = -right
    bottom = -top
    P = translate([-1, -1, -1]) * scale([2 / (right - left), 2 / (top - bottom), -2 / (far - near)]) * translate([-left, -bottom, near]) * projective(near, far)
    return np.matrix(P)


def Viewport4():
    glViewport(int(sizeViewport), int(sizeViewport), int(sizeViewport), int(sizeViewport))
    if viewport4Sol1:
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        gluPerspective(60, 1, 0.01, 20)
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        lookat = [0.0, 0.0, -(near + far) / 2]
        updir = [0.0, 1.0, 0.0]
        gluLookAt(movingCameraPos[0], movingCameraPos[1], movingCameraPos[2], lookat[0], lookat[1], lookat[2], updir[0], updir[1], updir[2])
        drawScene()
        drawMovingViewVolume()
    else:
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        P = perspective(60, 1, 0.01, 20)
        glMultMatrixd(transpose(P))
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        deg = movingCameraAngle
        movingCameraTilt = -rad2deg(arctan2(movingCameraPos[1], movingCameraRadius))
        M = rotateX(movingCameraTilt) * rotateY(deg) * translate([-movingCameraPos[0], -movingCameraPos[1], -movingCameraPos[2]])
        glMultMatrixd(transpose(M))
        drawMovingViewVolume()
        drawScene()


def drawMain():
    """
    This is the main drawing function. All drawing code should be called by this 
    function. This function gets called from Scene.display which is the callback
    function for glutDisplayFunc
    """
    glClearColor(0.0, 0.0, 0.0, 1.0)
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
    Viewport1()
    Viewport2()
    Viewport3()
    Viewport4()


def updateAnimationVariables():
    """
    All variables that are updated during animation are updated here. This function
    gets called from Window.timer_func() that is implemented in KestMain
    The only animated part required for the assignment is the moving camera.
    """
    global movingCameraAngle, movingCameraPos
    theta = deg2rad(movingCameraAngle)
    movingCameraAngle = movingCameraAngle + 1
    movingCameraPos = [movingCameraRadius * sin(theta), movingCameraHeight, -(near + far) / 2 + movingCameraRadius * cos(theta)]

__test__ = {}
