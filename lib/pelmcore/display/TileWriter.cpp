#include "display/TileWriter.h"

#include "display/SurfaceKeeper.h"

bool TileWriter::Begin(ISurfaceKeeper* surface) {
  target_ = TileTarget();
  if (!surface || !surface->GetTileTarget(&target_)) target_ = TileTarget();
  return target_.planeCount > 0;
}
