// The archive library in one include.
#ifndef TAMARIN_TAMARIN_H_
#define TAMARIN_TAMARIN_H_

#include "tamarin/extract.h"
#include "tamarin/file.h"
#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin/path.h"
#include "tamarin/serializer.h"

#endif  // TAMARIN_TAMARIN_H_
