#pragma once
// Stand-in until the cycle journal lands: the same classification.
#include "replication/core/BatchEngine.h"

enum class TChannelState
{
    Clean,
    RowsFailed,
    ChannelFailed
};

inline TChannelState ChannelStateOf(const TRunResult& run, bool endedWithError)
{
    if (endedWithError || !run.Accepted || run.Failed)
        return TChannelState::ChannelFailed;
    for (const TTableResult& t : run.Tables)
        if (t.RowsFailed > 0
            || (t.Outcome != TTableOutcome::Done && t.Outcome != TTableOutcome::NothingPending
                && t.Outcome != TTableOutcome::Declined))
            return TChannelState::RowsFailed;
    return TChannelState::Clean;
}
