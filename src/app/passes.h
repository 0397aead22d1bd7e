#pragma once

// The walk over a run's positions (app/calling.cpp), which the passes drive
// (app/passes.cpp).

#include <cstdint>
#include <functional>
#include <vector>

#include "app/CallSNP.h"
#include "app/calling_state.h"

// The windows analysed side by side: --threads, fewer where their models would outgrow
// --model-memory.
int windows_side_by_side(const CallSNP& run);

// Analyses the positions in order with the copying prior of this pass, on the run's
// threads, handing each outcome to consume in order. every_record: the likelihoods of every
// record read, not only of the --list positions.
// family: the run's numbered units (CallSNP::family_units); every worker keeps its own copy.
CallingCounts call_in_order(const CallSNP& run, const FamilyUnits& family,
                            const std::vector<std::uint64_t>& positions, const PassSettings& pass,
                            bool every_record,
                            const std::function<void(PositionOutcome&)>& consume);

// The end-of-run warnings and figures of what was counted.
void report_calling_counts(const CallingCounts& counts);
