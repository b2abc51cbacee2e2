// The whole form as JSON, as the autopilot's dump action writes it (docs/autopilot.md).
#pragma once

#include <nlohmann/json.hpp>

#include "ui/toolkit.h"

nlohmann::json DescribeForm(const ui::Form& form);
