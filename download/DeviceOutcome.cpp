#include "download/DeviceOutcome.h"

namespace zq {

void CStageTally::SetRange(uint32_t maximum)
{
    if (next_)
        next_->SetRange(maximum);
}

void CStageTally::SetPos(uint32_t position)
{
    if (next_)
        next_->SetPos(position);
}

void CStageTally::OnStage(const StageReport& report)
{
    refusals_ = report.refused;
    clrSteps_ = report.clrSteps;
    if (report.stage == Stage::Closing)
        bytesPerS_ = report.bytesPerS;
    if (next_)
        next_->OnStage(report);
}

void CStageTally::OnAdapter(const PortInfo& port, int latencyMs)
{
    latencyMs_ = latencyMs;
    if (next_)
        next_->OnAdapter(port, latencyMs);
}

void CStageTally::Fill(DeviceOutcome& outcome) const
{
    outcome.latencyMs = latencyMs_;
    outcome.refusals = refusals_;
    outcome.clrSteps = clrSteps_;
    outcome.dataBytesPerS = bytesPerS_;
}

}  // namespace zq
