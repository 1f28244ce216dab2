// Values and fact store: the value model, exact decimals, field types and the
// column-wise FactStore.
#pragma once

#include "store/debug_form.h"
#include "store/decimal.h"
#include "store/fact_store.h"
#include "store/value.h"
