// File transport of vStream: a file opened for reading (get only) or for
// writing (put and write).
#pragma once
#include "vStream.h"

// Any failure gives vErrResource.
vErr vStream_CreateFileInput(const char* path, vStream** stream);
vErr vStream_CreateFileOutput(const char* path, vStream** stream);
