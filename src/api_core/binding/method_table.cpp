#include "binding/method_table.hpp"

#include <array>

#include "ops/ops.hpp"

namespace halvex {

namespace {

constexpr Param serial{"serial", "str", Check::str};
constexpr Param object_id{"object_id", "ObjectIdEnum | int"};
constexpr Param timestamp{"timestamp", "datetime.datetime"};
constexpr Param scale_rec{"rec", "QuarnMessage.U4leValueRec | None"};

constexpr std::array kMethods{
    MethodRow{"__init__",
               {{"mediator_address", "str | None", Check::str_or_none, Default::mediator_address},
                {"logging_level", "str | int", Check::none, Default::logging_info}},
               "None", op<ops::init>},
    MethodRow{"serial_read", {serial}, "str", op<ops::serial_read>},
    MethodRow{"hardware", {serial}, "str", op<ops::hardware>},
    MethodRow{"firmware_version", {serial}, "str", op<ops::firmware_version>},
    MethodRow{"clock_time_read", {serial}, "datetime.datetime", op<ops::clock_time_read>},
    MethodRow{"clock_time_write", {serial}, "None", op<ops::clock_time_write>},
    MethodRow{"csq", {serial}, "int", op<ops::csq>},
    MethodRow{"instantaneous_voltage", {serial}, "float", op<ops::instantaneous_voltage>},
    MethodRow{"instantaneous_active_power", {serial}, "float", op<ops::instantaneous_active_power>},
    MethodRow{"instantaneous_active_power_element_a", {serial}, "float",
               op<ops::instantaneous_active_power_element_a>},
    MethodRow{"instantaneous_active_power_element_b", {serial}, "float",
               op<ops::instantaneous_active_power_element_b>},
    MethodRow{"read",
               {serial},
               "Tuple[Dict[str, float], Dict[str, float] | None] | Dict[str, float | None]",
               op<ops::read>},
    MethodRow{"read_element_a", {serial}, "Dict[str, float]", op<ops::read_element_a>},
    MethodRow{"read_element_b", {serial}, "Dict[str, float]", op<ops::read_element_b>},
    MethodRow{"daylight_savings_correction_enabled", {serial}, "bool",
               op<ops::daylight_savings_correction_enabled>},
    MethodRow{"daylight_savings_correction_enabled_write",
               {serial, {"enabled", "bool"}},
               "None", op<ops::daylight_savings_correction_enabled_write>},
    MethodRow{"backlight", {serial}, "QuarnMessage.BacklightSettingType", op<ops::backlight>},
    MethodRow{"backlight_write",
               {serial, {"setting", "QuarnMessage.BacklightSettingType"}},
               "None", op<ops::backlight_write>},
    MethodRow{"load_switch", {serial}, "QuarnMessage.LoadSwitchSettingType", op<ops::load_switch>},
    MethodRow{"load_switch_write",
               {serial, {"setting", "QuarnMessage.LoadSwitchSettingType"}},
               "None", op<ops::load_switch_write>},
    MethodRow{"three_phase_serial", {serial}, "str", op<ops::three_phase_serial>},
    MethodRow{"three_phase_read",
               {serial, {"hardware", "str | None", Check::str_or_none}},
               "Dict[str, float | None]", op<ops::three_phase_read>},
    MethodRow{"three_phase_instantaneous_voltage", {serial},
               "tuple[float, float | None, float | None]", op<ops::three_phase_instantaneous_voltage>},
    MethodRow{"three_phase_hardware_configuration", {serial},
               "QuarnMessage.ThreePhaseHardwareConfigurationRec", op<ops::three_phase_hardware_configuration>},
    MethodRow{"profile_log_1", {serial, timestamp}, "QuarnProfileLog1Response", op<ops::profile_log_1>},
    MethodRow{"profile_log_2",
               {serial, timestamp, {"is_twin_element", "bool", Check::to_bool}},
               "QuarnProfileLog2Response", op<ops::profile_log_2>},
    MethodRow{"_profile_log",
               {serial, timestamp, {"format", "QuarnData.RecordFormat"}},
               "bytes", op<ops::profile_log>},
    MethodRow{"three_phase_intervals",
               {serial,
                {"day", "datetime.datetime | None"},
                {"start_time", "datetime.datetime | None"},
                {"end_time", "datetime.datetime | None"},
                {"csv", "str | None", Check::str_or_none, Default::none},
                {"include_statuses", "bool", Check::to_bool, Default::false_}},
               "ThreePhaseIntervals", op<ops::three_phase_intervals>},
    MethodRow{"event_log", {serial, {"log_idx", "int", Check::to_int}}, "QuarnEventLogResponse",
               op<ops::event_log>},
    MethodRow{"obis_read", {serial, {"obis", "str", Check::str}}, "bytes", op<ops::obis_read>},
    MethodRow{"obis_write",
               {serial, {"obis", "str", Check::str}, {"payload_hex", "str", Check::str}},
               "None", op<ops::obis_write>},
    MethodRow{"_read_element", {serial, object_id}, "Any", op<ops::read_element>},
    MethodRow{"_write_element", {serial, object_id, {"payload", "bytes", Check::bytes}}, "None",
               op<ops::write_element>},
    MethodRow{"_send_message", {serial, {"message", "bytes", Check::bytes}}, "bytes", op<ops::send_message>},
    MethodRow{"_three_phase_intervals_read",
               {serial,
                {"start_time", "datetime.datetime"},
                {"end_time", "datetime.datetime"},
                {"profile", "QuarnProfileThreePhaseIntervalsRequest.ProfileNumber"}},
               "QuarnProfileThreePhaseIntervalsResponseBlock | None", op<ops::three_phase_intervals_read>},
    MethodRow{"_safe_read_element",
               {serial, {"element_id", "ObjectIdEnum | int"}},
               "Any", op<ops::safe_read_element>, "Safely read an element, returning None if it fails."},
    MethodRow{"_scale_value", {scale_rec, {"hardware", "str", Check::str}}, "float | None", op<ops::scale_value>},
    MethodRow{"_scale_10k_value", {scale_rec}, "float | None", op<ops::scale_10k_value>},
    MethodRow{"_scale_kilo_value", {scale_rec}, "float | None", op<ops::scale_kilo_value>},
};

static_assert(kMethods.size() == 39);

}  // namespace

std::span<const MethodRow> method_table() noexcept { return kMethods; }

}  // namespace halvex
