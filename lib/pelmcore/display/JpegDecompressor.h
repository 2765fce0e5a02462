// One libjpeg decompressor whose fatal errors jump back to the decoder that
// set Jump(), instead of ending the program. The code between setjmp and
// the jump must hold no object with a destructor of its own. A thread keeps
// one and uses it for picture after picture, so the library's tables and
// buffers are made once.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "pelplat/wintypes.h"

class JpegDecompressor {
 public:
  JpegDecompressor();
  ~JpegDecompressor() { Destroy(); }

  // The calling thread's decompressor.
  static JpegDecompressor& ForThisThread();

  // Readies the decompressor for a picture over the bytes (creating it the
  // first time); call only after setjmp(Jump()).
  void Open(const BYTE* data, size_t length);
  // Ends the picture, finished or failed; the decompressor stays for the
  // next one.
  void Abort();
  void Destroy();
  jmp_buf& Jump() { return errors_.jump; }
  j_decompress_ptr Info() { return &info_; }

  JpegDecompressor(const JpegDecompressor&) = delete;
  JpegDecompressor& operator=(const JpegDecompressor&) = delete;

 private:
  struct JumpingErrors {
    jpeg_error_mgr manager;
    jmp_buf jump;
  };
  static void ExitByJump(j_common_ptr info);
  static void Silent(j_common_ptr info) {}

  jpeg_decompress_struct info_{};
  JumpingErrors errors_{};
  bool created_ = false;
  // Pictures since the decompressor was made: it is made again after this
  // many, which bounds what the dropped tables of earlier pictures hold.
  static constexpr int kPicturesPerDecompressor = 256;
  int pictures_ = 0;
};
