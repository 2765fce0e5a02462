// Clipping of drawing rectangles to a surface, shared by the keepers and by
// callers that must know what a drawing call really touched.
#pragma once

// The part of a width x height rectangle placed at (x, y) that lies inside a
// surfaceWidth x surfaceHeight surface; skipX and skipY count the source
// columns and rows that fell off the left and top edges.
struct ClippedRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int skipX = 0;
  int skipY = 0;
};

// False when nothing of the rectangle is inside.
bool ClipToSurface(int surfaceWidth, int surfaceHeight, int x, int y, int width, int height,
                   ClippedRect* clipped);

// Shrinks a copy so that both its source and its destination lie inside the
// surface. False when nothing is left to copy.
bool ClipCopyRect(int surfaceWidth, int surfaceHeight, int* destX, int* destY, int* sourceX,
                  int* sourceY, int* width, int* height);
