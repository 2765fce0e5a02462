#include "session/ClientConnectionParameter.h"

#include "cryptlib/cipherblocks.h"
#include "sys/klog.h"

CClientConnectionParameter::CClientConnectionParameter() {
  LogMessageA("CClientConnectionParameter::CClientConnectionParameter");
  LogMessageA("size = %d", static_cast<int>(sizeof(CClientConnectionParameter)));
}

CClientConnectionParameter::~CClientConnectionParameter() { WipeBytes(password, sizeof password); }
