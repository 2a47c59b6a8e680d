#pragma once
// What the service control manager does when the service fails: restart it two seconds after
// each of its first three failures, and forget the failures after ten minutes without one.

#include <windows.h>

class ServiceFailureActions {
public:
    static constexpr DWORD kResetPeriodSeconds = 600;
    static constexpr DWORD kRestartDelayMs = 2000;
    static constexpr DWORD kActionCount = 3;

    ServiceFailureActions() noexcept
    {
        for (SC_ACTION& action : actions_) {
            action.Type = SC_ACTION_RESTART;
            action.Delay = kRestartDelayMs;
        }
        record_.dwResetPeriod = kResetPeriodSeconds;
        // Empty strings, not null: the manager keeps an earlier message or command for null.
        record_.lpRebootMsg = rebootMessage_;
        record_.lpCommand = command_;
        record_.cActions = kActionCount;
        record_.lpsaActions = actions_;
    }

    // The record points into this object: it must not be copied or moved.
    ServiceFailureActions(const ServiceFailureActions&) = delete;
    ServiceFailureActions& operator=(const ServiceFailureActions&) = delete;

    // For ChangeServiceConfig2W with SERVICE_CONFIG_FAILURE_ACTIONS; valid while this object lives.
    SERVICE_FAILURE_ACTIONSW* Get() noexcept { return &record_; }

private:
    SC_ACTION actions_[kActionCount] = {};
    wchar_t rebootMessage_[1] = {};
    wchar_t command_[1] = {};
    SERVICE_FAILURE_ACTIONSW record_ = {};
};
