// Process-wide set-up shared by fuzz targets: a private root folder and the
// manual clock, made once on the first input.
#pragma once

// prefix names the temporary root folder ("/tmp/<prefix>XXXXXX").
void FuzzEnv_Init(const char* prefix);
