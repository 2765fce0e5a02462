#include "settings/ProfileKeys.h"

#include <cstring>

namespace {

using S = CAbstractClientSettings;
using Kind = ProfileKeyKind;

constexpr ProfileKey Number(const char* key, Kind kind, int32_t S::*field, int32_t defaultValue) {
  return ProfileKey{key, kind, field, nullptr, defaultValue};
}
constexpr ProfileKey Text(const char* key, WCHAR (S::*field)[kFieldChars]) {
  return ProfileKey{key, Kind::kText, nullptr, field, 0};
}

// The server history, the password, the display sizes, the colour depth,
// automatic detection and clipboard sharing have rules of their own and are
// not in these tables.
const ProfileKey kAutoLogin[] = {
    Number("encryptionLevel", Kind::kInt, &S::encryptionLevel, 1),
    Text("userName", &S::userName),
    Text("domain", &S::domain),
    Number("autoLogon", Kind::kFlag, &S::autoLogon, 0),
    Number("autoConnect", Kind::kFlag, &S::autoConnect, 0),
    Number("exitOnDisconnect", Kind::kFlag, &S::exitOnDisconnect, 0),
};

const ProfileKey kScreen[] = {
    Number("fullScreen", Kind::kFlag, &S::fullScreen, 1),
    Number("useColorCursor", Kind::kFlag, &S::useColorCursor, 1),
    Number("dsFormatsSupport", Kind::kFlag, &S::dsFormatsSupport, 0),
    Number("dxva2Support", Kind::kFlag, &S::dxva2Support, 0),
    Number("useAsyncMovieSlotProc", Kind::kInt, &S::useAsyncMovieSlotProc, 1),
    Number("useUniqueMovieFrames", Kind::kInt, &S::useUniqueMovieFrames, 1),
    Number("vlcVideoDecoderSupport", Kind::kFlag, &S::vlcVideoDecoderSupport, 1),
    Number("useWmpChannelRedirection", Kind::kFlag, &S::useWmpChannelRedirection, 1),
};

const ProfileKey kSound[] = {
    Number("useSound", Kind::kFlag, &S::useSound, 1),
    Number("vorbisSupport", Kind::kFlag, &S::vorbisSupport, 1),
    Number("useAudioVideoSynch", Kind::kFlag, &S::useAudioVideoSynch, 1),
    Number("vorbisAudioQuality", Kind::kUnsigned, &S::vorbisAudioQuality, 1),
    Number("audioThreadPriority", Kind::kInt, &S::audioThreadPriority, 0),
};

const ProfileKey kNetwork[] = {
    Number("useWanNetwork", Kind::kFlag, &S::useWanNetwork, 0),
    Text("msAddress", &S::msAddress),
    Number("msPort", Kind::kLow16, &S::msPort, 0),
};

const ProfileKey kProgram[] = {
    Text("programPath", &S::programPath),
    Text("workingDir", &S::workingDir),
};

template <size_t N>
constexpr ProfileKeyTable Table(const ProfileKey (&keys)[N]) {
  return ProfileKeyTable{keys, N};
}

}  // namespace

const ProfileKeyTable kAutoLoginKeys = Table(kAutoLogin);
const ProfileKeyTable kScreenKeys = Table(kScreen);
const ProfileKeyTable kSoundKeys = Table(kSound);
const ProfileKeyTable kNetworkKeys = Table(kNetwork);
const ProfileKeyTable kProgramKeys = Table(kProgram);

void ApplyProfileKeyDefaults(CAbstractClientSettings& settings) {
  for (const ProfileKeyTable* table : {&kAutoLoginKeys, &kScreenKeys, &kSoundKeys, &kNetworkKeys, &kProgramKeys}) {
    for (const ProfileKey& key : *table) {
      if (key.kind == Kind::kText) {
        std::memset(settings.*key.text, 0, sizeof(settings.*key.text));
      } else {
        settings.*key.number = key.defaultValue;
      }
    }
  }
}
