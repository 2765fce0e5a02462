#include "jpeg_fixtures.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <turbojpeg.h>

extern char** environ;

Bytes TestPicture(int width, int height, int seed) {
  Bytes rgb(size_t(width) * height * 3);
  unsigned state = 2166136261u ^ unsigned(seed);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = int(state >> 28);
      BYTE* p = &rgb[(size_t(y) * width + x) * 3];
      p[0] = BYTE((x * 255 / std::max(1, width - 1) + noise * 3) & 0xFF);
      p[1] = BYTE((y * 7 + seed * 40 + noise) & 0xFF);
      p[2] = BYTE(((x ^ y) * 16 + seed) & 0xFF);
    }
  return rgb;
}

Bytes CompressWithTurboJpeg(const Bytes& rgb, int width, int height, int subsampling, int flags,
                            int quality) {
  tjhandle handle = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &size,
                             subsampling, quality, flags);
  Bytes jpeg;
  if (rc == 0) jpeg.assign(out, out + size);
  tjFree(out);
  tjDestroy(handle);
  if (rc != 0) throw std::runtime_error("tjCompress2 failed");
  return jpeg;
}

Bytes CompressWithCjpeg(const Bytes& rgb, int width, int height,
                        const std::vector<std::string>& arguments) {
  char inName[] = "/tmp/pellum-display-XXXXXX";
  const int inFd = mkstemp(inName);
  if (inFd < 0) throw std::runtime_error("mkstemp failed");
  close(inFd);
  const std::string outName = std::string(inName) + ".jpg";
  {
    std::ofstream ppm(inName, std::ios::binary);
    ppm << "P6\n" << width << " " << height << "\n255\n";
    ppm.write(reinterpret_cast<const char*>(rgb.data()), std::streamsize(rgb.size()));
  }
  std::vector<std::string> args = {"cjpeg"};
  args.insert(args.end(), arguments.begin(), arguments.end());
  args.insert(args.end(), {"-outfile", outName, inName});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int status = -1;
  if (posix_spawnp(&pid, "cjpeg", nullptr, nullptr, argv.data(), environ) == 0)
    waitpid(pid, &status, 0);
  std::ifstream in(outName, std::ios::binary);
  Bytes jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(inName);
  std::remove(outName.c_str());
  if (status != 0 || jpeg.empty()) throw std::runtime_error("cjpeg failed");
  return jpeg;
}

YuvPlanes TurboJpegPlanes(const Bytes& jpeg) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  YuvPlanes planes;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colourspace) == 0 &&
      subsampling == TJSAMP_420) {
    planes.width = width;
    planes.height = height;
    planes.y.resize(size_t(width) * height);
    planes.cb.resize(size_t(width) * height / 4);
    planes.cr.resize(planes.cb.size());
    unsigned char* dst[3] = {planes.y.data(), planes.cb.data(), planes.cr.data()};
    int strides[3] = {width, width / 2, width / 2};
    if (tjDecompressToYUVPlanes(handle, jpeg.data(), jpeg.size(), dst, width, strides, height,
                                0) != 0)
      planes = YuvPlanes();
  }
  tjDestroy(handle);
  return planes;
}

Bytes TurboJpegPixelsBottomUp(const Bytes& jpeg, int pixelFormat, int* width, int* height) {
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colourspace = 0;
  Bytes pixels;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), width, height, &subsampling,
                          &colourspace) == 0) {
    pixels.resize(size_t(*width) * *height * tjPixelSize[pixelFormat]);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), *width, 0, *height,
                      pixelFormat, TJFLAG_BOTTOMUP) != 0)
      pixels.clear();
  }
  tjDestroy(handle);
  return pixels;
}
