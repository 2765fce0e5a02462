#include "session/ClientConnectionParameter.h"

#include "sys/klog.h"

CClientConnectionParameter::CClientConnectionParameter() {
  LogMessageA("CClientConnectionParameter::CClientConnectionParameter");
  LogMessageA("size = %d", static_cast<int>(sizeof(CClientConnectionParameter)));
}
