// The quarn engine for a C++ program: include this and link quarn_engine.
// A Session (engine/session.h) is the engine's face; the role headers give
// the value model, the store's types, the rule-text front end and queries.
// The engine's internal record (engine/engine.h) and the network stay behind
// it.
#pragma once

#include "common/common.h"
#include "store/store.h"
#include "parser/parser.h"
#include "rx/rx.h"
#include "queries/queries.h"
#include "engine/session.h"
