#include "services/TunnelServices.h"

#include <memory>
#include <string>

#include "services/RemoteIo.h"
#include "services/Tunnel.h"
#include "services/TunnelClient.h"
#include "sys/ByteReader.h"

namespace ybx {
namespace tunnel {

namespace {

// Every handler marks a request handled, whether or not its payload was
// usable; other kinds are left alone.
void MarkHandled(TunnelResult* result) {
  result->status = 0;
  result->flag = 0;
}

void Ignore(TunnelResult* result, uint32_t kind, const uint8_t*, uint32_t, ITunnelClient*) {
  if (kind == kTunnelRequest) MarkHandled(result);
}

// The JSON text goes to session window 0.
// The payload is wire data: the text is what its length covers, whether or
// not the server terminated it.
void Post(TunnelResult* result, uint32_t kind, const uint8_t* payload, uint32_t length, ITunnelClient* client) {
  if (kind != kTunnelRequest) return;
  if (payload && length && client) {
    const std::string text(reinterpret_cast<const char*>(payload), length);
    client->PostDisplayText(text.c_str());
  }
  MarkHandled(result);
}

// The payload goes with the handler, so the path is copied out of it for
// the probe's thread.
void OpenPlayer(TunnelResult* result, uint32_t kind, const uint8_t* payload, uint32_t length,
                ITunnelClient* client) {
  if (kind != kTunnelRequest) return;
  if (payload && length == qmt::RemoteIo::kOpenPayload && client) {
    ByteReader reader(payload, length);
    std::u16string path;
    for (size_t i = 0; i + 1 < qmt::RemoteIo::kPathChars; ++i) {
      const char16_t c = static_cast<char16_t>(reader.U16());
      if (!c) break;
      path.push_back(c);
    }
    qmt::RemoteIo::StartProbe(client->GetRemoteIo(true), std::move(path));
  }
  MarkHandled(result);
}

void Status(TunnelResult* result, uint32_t kind, const uint8_t* payload, uint32_t length, ITunnelClient* client) {
  if (kind != kTunnelRequest) return;
  if (payload && length >= tools::MicroIoAnswer::kHeadSize && client) {
    if (std::shared_ptr<qmt::RemoteIo> io = client->GetRemoteIo(false)) io->OnAnswer(payload, length);
  }
  MarkHandled(result);
}

struct Method {
  const char* name;
  TunnelHandler handler;
};

struct Service {
  const char* sink;
  Method methods[2];
};

const Service kServices[] = {
    {".vrstd", {{"trace", Ignore}, {"ping", Ignore}}},
    {".tovix", {{"print", Ignore}, {"post", Post}}},
    {".vazi_player", {{".open", OpenPlayer}, {nullptr, nullptr}}},
    {".micro_io", {{"status", Status}, {nullptr, nullptr}}},
};

}  // namespace

bool RegisterBuiltInServices(TunnelRegistry* registry, CClientSystemApi* api, ITunnelClient* client) {
  if (!registry || !api || !client) return false;
  for (const Service& service : kServices) {
    std::shared_ptr<TunnelSink> sink = registry->AddSink(service.sink);
    if (!sink) return false;
    for (const Method& method : service.methods) {
      if (method.name) sink->AddMethod(method.name, method.handler);
    }
  }
  return true;
}

}  // namespace tunnel
}  // namespace ybx
