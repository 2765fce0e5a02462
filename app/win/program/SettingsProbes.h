// What the hello record asks of the settings: the lossy-display switch is
// read from the settings object of the pass at the moment a hello is built.
#pragma once

void InstallSettingsProbes();
