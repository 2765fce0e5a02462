// The four services every session client offers the server through the
// tunnel: ".vrstd" (trace, ping), ".tovix" (print, post), ".vazi_player"
// (.open, which starts a remote I/O probe) and ".micro_io" (status, the
// answers to remote I/O requests).
#pragma once

class CClientSystemApi;
class ITunnelClient;

namespace ybx {
namespace tunnel {

class TunnelRegistry;

// Registers the four sinks and their methods in this order; false as soon
// as one sink cannot be created, or without a registry, system API or
// client. Called once per client from the session client's Init. The
// handlers reach the client through its tunnel port: PostDisplayText
// (".tovix" "post") and GetRemoteIo (".vazi_player", ".micro_io").
bool RegisterBuiltInServices(TunnelRegistry* registry, CClientSystemApi* api, ITunnelClient* client);

}  // namespace tunnel
}  // namespace ybx
