#include "simboard/peers/call_log.hpp"

#include "simboard/peers/typed_value.hpp"

#include <stdexcept>

namespace simboard::peers
{

std::string format_call(const std::string& service, dbus::message& call)
{
    return service + " " + call.path() + " " + call.interface() + " " +
           call.member() + "(" + call.signature() + ") " +
           read_arguments(call.get())
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

call_log::call_log(const std::string& path)
{
    if (path.empty())
    {
        return;
    }
    out_.open(path, std::ios::app);
    if (!out_)
    {
        throw std::runtime_error("cannot open call log " + path);
    }
}

void call_log::record(const std::string& service, dbus::message& call)
{
    if (out_.is_open())
    {
        out_ << format_call(service, call) << std::endl;
    }
}

} // namespace simboard::peers
