// Makes the audio slot's processor for the session core.
#pragma once

void RegisterAudioProcessorMaker();
