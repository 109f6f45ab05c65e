// Makes the process safe to run in hostile surroundings before anything is
// opened: standard descriptors that are missing, a console that goes away,
// a file-size limit.
#pragma once

void prepareProcess();
