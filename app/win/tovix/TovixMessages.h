// The texts the client sends the browser extension, and the one road they
// take: a ".tovix" "post" tunnel frame through the current session client.
#pragma once

#include <cstdint>
#include <string>

class CGenericClient;
class ITunnelClient;

namespace tovix {

// The text as a JSON string value, quotes included. Ordinary identifiers
// come out between plain quotes; quotes, backslashes and control
// characters are escaped so that no text from the extension can change the
// message around it.
std::string JsonText(const std::string& text);

std::string DiscoveryMessage();
std::string ConnectionCheckResponse(const std::string& sessionId);
// position: milliseconds, written in seconds with six significant digits.
std::string PlaybackProgressMessage(const std::string& videoId, int64_t positionMs, bool ended,
                                    int32_t controlSequence);
std::string PlaybackFailedMessage(const std::string& videoId);

// The session client of the system API, or null without one. GUI thread.
ITunnelClient* CurrentTunnelClient();
CGenericClient* CurrentSessionClient();

// The text with its NUL as a ".tovix" "post" frame; true when every byte
// went out. Nothing is sent without a session client, nor before its
// session runs.
bool SendTovixText(const std::string& text);

}  // namespace tovix
