// The quarn engine: include this and link quarn_engine.
#pragma once

#include "common/common.h"
#include "store/store.h"
#include "parser/parser.h"
#include "rx/rx.h"
#include "queries/queries.h"
#include "network/network.h"
#include "engine/engine.h"
#include "engine/session.h"
