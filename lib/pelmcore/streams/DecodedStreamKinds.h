// Registers the stream kinds the client decodes itself (video, audio,
// software H.264, MJPEG) with the stream slot, and the H.264 capability
// probe of the hello.
#pragma once

void RegisterDecodedStreamKinds();
