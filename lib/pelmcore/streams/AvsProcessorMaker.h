// Makes each display's stream slot processor for the session core.
#pragma once

void RegisterAvsProcessorMaker();
