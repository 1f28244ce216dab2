// Shared infrastructure of every role: results and internal errors, text
// formatting, UTF-8, the project's hash tables and the handle types.
#pragma once

#include "common/hash.h"
#include "common/ids.h"
#include "common/internal_error.h"
#include "common/result.h"
#include "common/text.h"
#include "common/utf8.h"
