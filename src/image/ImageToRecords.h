#ifndef HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
#define HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_

#include "records/IntelHexRecord.h"

// Memory image: byte i is the byte at address i.
using MemoryImage = Bytes;

#endif  // HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
