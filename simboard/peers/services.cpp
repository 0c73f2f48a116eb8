#include "simboard/peers/services.hpp"

#include "dbus/error.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace simboard::peers
{

namespace
{

using nlohmann::json;

constexpr const char* power_on_state =
    "xyz.openbmc_project.State.Chassis.PowerState.On";
constexpr const char* power_off_state =
    "xyz.openbmc_project.State.Chassis.PowerState.Off";
constexpr const char* transition_on =
    "xyz.openbmc_project.State.Chassis.Transition.On";
constexpr const char* transition_off =
    "xyz.openbmc_project.State.Chassis.Transition.Off";
constexpr const char* entity_manager_path =
    "/xyz/openbmc_project/EntityManager";

struct property_def
{
    std::string name;
    typed_value initial;
    bool writable;
};

/** A behaviour switch: a writable property of the peer's control object.
 *  A string knob with allowed values takes only those. */
struct knob_def
{
    std::string name;
    typed_value initial;
    std::vector<std::string> allowed;
};

/** A method that only answers (the call log records it). */
struct method_def
{
    std::string name;
    std::string in;
};

/** A peer with one object and one interface. */
struct peer_def
{
    std::string service;
    std::string path;
    std::string iface;
    std::vector<property_def> properties;
    std::vector<method_def> methods;
    /** Last element of the control interface name; empty: no control
     *  object. */
    std::string control;
    std::vector<knob_def> knobs;
};

const std::vector<std::string> set_faults = {"none", "claim", "release", "all"};

peer_def host_def()
{
    return {"xyz.openbmc_project.State.Host",
            "/xyz/openbmc_project/state/host0",
            "xyz.openbmc_project.State.Host",
            {{"CurrentHostState",
              {"s", "xyz.openbmc_project.State.Host.HostState.Running"},
              true}},
            {},
            "Host",
            {}};
}

peer_def os_def()
{
    return {"xyz.openbmc_project.State.OperatingSystem",
            "/xyz/openbmc_project/state/os",
            "xyz.openbmc_project.State.OperatingSystem.Status",
            {{"OperatingSystemState", {"s", "Inactive"}, true}},
            {},
            "OperatingSystem",
            {}};
}

peer_def chassis_def()
{
    return {"xyz.openbmc_project.State.Chassis",
            "/xyz/openbmc_project/state/chassis0",
            "xyz.openbmc_project.State.Chassis",
            {{"RequestedPowerTransition", {"s", transition_on}, true},
             {"CurrentPowerState", {"s", power_on_state}, false}},
            {},
            "Chassis",
            {{"PowerOff",
              {"s", "immediate"},
              {"immediate", "after-reads", "never"}},
             {"ReadsBeforeOff", {"u", 0}, {}},
             {"FailTransitionSet", {"b", false}, {}}}};
}

peer_def board_properties_def()
{
    return {
        "xyz.openbmc_project.TARNproperties.Manager",
        "/xyz/openbmc_project/TARNproperties/mgr",
        "xyz.openbmc_project.TARNproperties.Manager",
        {{"UpdatingOwner", {"s", "NONE"}, true},
         {"UpdatingState", {"s", "OK"}, true}},
        {},
        "BoardProperties",
        {{"StealOwner", {"s", ""}, {}},
         {"FailOwnerSet", {"s", "none"}, set_faults},
         {"FailStateSet", {"s", "none"}, set_faults},
         {"FailOwnerGet", {"s", "none"}, {"none", "query", "confirm", "all"}}}};
}

peer_def fru_def()
{
    return {"xyz.openbmc_project.FruDevice",
            "/xyz/openbmc_project/FruDevice",
            "xyz.openbmc_project.FruDeviceManager",
            {},
            {{"ReScanBus", "y"}},
            "Fru",
            {{"ReScanBusSignature", {"s", "y"}, {"y", "q"}}}};
}

peer_def chip_info_def()
{
    const typed_value zero{"y", 0};
    return {"xyz.openbmc_project.TARN.CPLD.Control",
            "/xyz/openbmc_project/cpld/chip/information",
            "xyz.openbmc_project.Chip.Information",
            {{"PFR_REV_ID1", zero, false},
             {"PFR_REV_ID2", zero, false},
             {"PFR_REV_ID3", zero, false}},
            {},
            "ChipInformation",
            {}};
}

const json& require_object(const json& j, const std::string& what)
{
    if (!j.is_object())
    {
        throw std::invalid_argument(what + " is not a JSON object");
    }
    return j;
}

dbus::error injected(const std::string& what)
{
    return dbus::error(injected_error, what);
}

/** A peer with one object and one interface; its control object takes
 *  knob writes and SetProperty(name, value), which stores any value of any
 *  type in a property of the peer, past its behaviour. */
class single_object_peer : public service
{
  public:
    single_object_peer(service_context& ctx, std::string key, peer_def def) :
        service(ctx, def.service), def_(std::move(def)), control_(ctx.control),
        control_path_(control_root + key),
        control_iface_("xyz.openbmc_project.SimBoard." + def_.control)
    {
        for (const property_def& p : def_.properties)
        {
            tree().add_property(def_.path, def_.iface, p.name, p.initial,
                                p.writable);
        }
        for (const method_def& m : def_.methods)
        {
            serve_method(m.name, m.in);
        }
        if (!def_.control.empty())
        {
            add_control_object();
        }
    }

    void configure(const json& description) override
    {
        for (const auto& [key, value] : description.items())
        {
            if (find_property(key) != nullptr)
            {
                store(key, parse_typed_value(value));
            }
            else if (const knob_def* knob = find_knob(key))
            {
                set_knob(key, {knob->initial.signature, value});
            }
            else
            {
                throw std::invalid_argument("unknown key \"" + key + "\"");
            }
        }
    }

  protected:
    void store(const std::string& property, const typed_value& value)
    {
        tree().set(def_.path, def_.iface, property, value);
    }

    const json& knob(const std::string& name) const
    {
        return control_.get(control_path_, control_iface_, name).value;
    }

    /** Serves a method that only answers, taking arguments of `in`;
     *  replaces one of the same name. */
    void serve_method(const std::string& name, const std::string& in)
    {
        tree().add_method(def_.path, def_.iface, name, in,
                          [](dbus::message&) {});
    }

    /** Runs after a knob took a new value. */
    virtual void knob_set(const std::string& /*name*/) {}

    /** Hooks on the peer's own interface. */
    void set_hooks(object_tree::get_hook getter, object_tree::set_hook setter)
    {
        tree().set_hooks(def_.path, def_.iface, std::move(getter),
                         std::move(setter));
    }

  private:
    void add_control_object()
    {
        for (const knob_def& k : def_.knobs)
        {
            control_.add_property(control_path_, control_iface_, k.name,
                                  k.initial, true);
        }
        control_.add_method(
            control_path_, control_iface_, "SetProperty", "sv",
            [this](dbus::message& call) {
                const auto name = call.read<std::string>();
                if (find_property(name) == nullptr)
                {
                    throw dbus::error(SD_BUS_ERROR_UNKNOWN_PROPERTY,
                                      "no property " + name + " in " +
                                          def_.iface);
                }
                store(name, parse_typed_value(read_value(call.get()).value));
            });
        control_.set_hooks(
            control_path_, control_iface_, {},
            [this](const std::string& name, const typed_value& value) {
                set_knob(name, value);
            });
    }

    const property_def* find_property(const std::string& name) const
    {
        const auto found =
            std::ranges::find(def_.properties, name, &property_def::name);
        return found == def_.properties.end() ? nullptr : &*found;
    }

    const knob_def* find_knob(const std::string& name) const
    {
        const auto found = std::ranges::find(def_.knobs, name, &knob_def::name);
        return found == def_.knobs.end() ? nullptr : &*found;
    }

    void set_knob(const std::string& name, const typed_value& value)
    {
        const knob_def& k = *find_knob(name);
        if (!k.allowed.empty() &&
            std::ranges::none_of(k.allowed, [&value](const std::string& a) {
                return value.value == a;
            }))
        {
            std::string list;
            for (const std::string& allowed : k.allowed)
            {
                list += (list.empty() ? "" : ", ") + allowed;
            }
            throw std::invalid_argument(name + " takes one of: " + list);
        }
        control_.set(control_path_, control_iface_, name, value);
        knob_set(name);
    }

    peer_def def_;
    object_tree& control_;
    std::string control_path_;
    std::string control_iface_;
};

/** Powers off when the Off transition is requested: at once, after a
 *  number of CurrentPowerState reads, or never (knob PowerOff). */
class chassis : public single_object_peer
{
  public:
    chassis(service_context& ctx, std::string key) :
        single_object_peer(ctx, std::move(key), chassis_def())
    {
        set_hooks([this](const std::string& p) { on_get(p); },
                  [this](const std::string& p, const typed_value& v) {
                      on_set(p, v);
                  });
    }

  private:
    void on_get(const std::string& property)
    {
        if (property != "CurrentPowerState" || !reads_since_off_request_)
        {
            return;
        }
        ++*reads_since_off_request_;
        if (knob("PowerOff") == "after-reads" &&
            *reads_since_off_request_ > knob("ReadsBeforeOff").get<unsigned>())
        {
            power_off();
        }
    }

    /** Only RequestedPowerTransition is writable. */
    void on_set(const std::string& property, const typed_value& requested)
    {
        if (knob("FailTransitionSet").get<bool>())
        {
            throw injected("the chassis refuses the power transition");
        }
        store(property, requested);
        if (requested == typed_value{"s", transition_off})
        {
            reads_since_off_request_ = 0;
            if (knob("PowerOff") == "immediate")
            {
                power_off();
            }
        }
    }

    void power_off()
    {
        reads_since_off_request_.reset();
        store("CurrentPowerState", {"s", power_off_state});
    }

    /** Engaged while an Off request waits for the power to go. */
    std::optional<unsigned> reads_since_off_request_;
};

/** The FRU service. Its ReScanBus takes the bus as a byte or, like current
 *  FRU services, as a 16-bit number (knob ReScanBusSignature "y" or "q");
 *  the other type gets InvalidArgs. */
class fru : public single_object_peer
{
  public:
    fru(service_context& ctx, std::string key) :
        single_object_peer(ctx, std::move(key), fru_def())
    {}

  private:
    void knob_set(const std::string& name) override
    {
        serve_method("ReScanBus", knob(name).get<std::string>());
    }
};

/** Holds the board-wide update ownership, with scripted contention: a
 *  party that takes the board right after each claim (StealOwner) and
 *  injected failures of owner and state writes (FailOwnerSet, FailStateSet:
 *  "claim" writes a name or "NA", "release" writes "NONE" or another
 *  state) and of owner reads (FailOwnerGet: "confirm" is the read right
 *  after a successful claim, "query" any other). */
class board_properties : public single_object_peer
{
  public:
    board_properties(service_context& ctx, std::string key) :
        single_object_peer(ctx, std::move(key), board_properties_def())
    {
        set_hooks([this](const std::string& p) { on_get(p); },
                  [this](const std::string& p, const typed_value& v) {
                      on_set(p, v);
                  });
    }

  private:
    void on_get(const std::string& property)
    {
        if (property != "UpdatingOwner")
        {
            return;
        }
        const bool confirming = std::exchange(claimed_, false);
        if (fails("FailOwnerGet", confirming ? "confirm" : "query"))
        {
            throw injected("the owner cannot be read");
        }
    }

    /** Both properties are writable, both as strings only by default. */
    void on_set(const std::string& property, const typed_value& requested)
    {
        const bool owner = property == "UpdatingOwner";
        const bool claim = owner ? requested != typed_value{"s", "NONE"}
                                 : requested == typed_value{"s", "NA"};
        if (fails(owner ? "FailOwnerSet" : "FailStateSet",
                  claim ? "claim" : "release"))
        {
            throw injected(property + " cannot be written");
        }
        const std::string thief = knob("StealOwner").get<std::string>();
        if (owner && claim && !thief.empty())
        {
            store(property, {"s", thief});
        }
        else
        {
            store(property, requested);
        }
        if (owner)
        {
            claimed_ = claim;
        }
    }

    bool fails(const std::string& knob_name, const std::string& kind) const
    {
        const json& mode = knob(knob_name);
        return mode == "all" || mode == kind;
    }

    /** The last owner write was a successful claim. */
    bool claimed_ = false;
};

/** Configuration objects with typed properties, GetManagedObjects at "/"
 *  and ReScan; its control object emits PropertiesChanged on demand and
 *  removes configuration objects as a vanished entity does. */
class entity_manager : public service
{
  public:
    explicit entity_manager(service_context& ctx) :
        service(ctx, "xyz.openbmc_project.EntityManager")
    {
        tree().serve_object_manager();
        tree().add_method(entity_manager_path,
                          "xyz.openbmc_project.EntityManager", "ReScan", "",
                          [](dbus::message&) {});
        const std::string control_path =
            std::string(control_root) + "entity_manager";
        const char* control_iface =
            "xyz.openbmc_project.SimBoard.EntityManager";
        ctx.control.add_method(control_path, control_iface, "EmitChanged", "os",
                               [this](dbus::message& call) {
                                   const auto path =
                                       call.read<dbus::object_path>();
                                   const auto iface = call.read<std::string>();
                                   tree().emit_changed(path.str, iface);
                               });
        ctx.control.add_method(
            control_path, control_iface, "RemoveObject", "o",
            [this](dbus::message& call) {
                remove_object(call.read<dbus::object_path>().str);
            });
    }

    void configure(const json& description) override
    {
        for (const auto& [key, value] : description.items())
        {
            if (key != "objects")
            {
                throw std::invalid_argument("unknown key \"" + key + "\"");
            }
            for (const auto& [path, interfaces] :
                 require_object(value, "objects").items())
            {
                add_object(path, interfaces);
            }
        }
    }

  private:
    /** EntityManager's own object is no configuration object. */
    void remove_object(const std::string& path)
    {
        if (path == entity_manager_path)
        {
            throw dbus::error(SD_BUS_ERROR_UNKNOWN_OBJECT,
                              "no configuration object at " + path);
        }
        tree().remove_object(path);
    }

    void add_object(const std::string& path, const json& interfaces)
    {
        if (sd_bus_object_path_is_valid(path.c_str()) <= 0)
        {
            throw std::invalid_argument("bad object path \"" + path + "\"");
        }
        for (const auto& [iface, properties] :
             require_object(interfaces, path).items())
        {
            if (sd_bus_interface_name_is_valid(iface.c_str()) <= 0)
            {
                throw std::invalid_argument(
                    "bad interface name \"" + iface + "\"");
            }
            for (const auto& [name, value] :
                 require_object(properties, iface).items())
            {
                if (sd_bus_member_name_is_valid(name.c_str()) <= 0)
                {
                    throw std::invalid_argument(
                        "bad property name \"" + name + "\"");
                }
                tree().add_property(path, iface, name, parse_typed_value(value),
                                    true);
            }
        }
    }
};

} // namespace

std::shared_ptr<dbus::connection> connect(boost::asio::io_context& io,
                                          const std::string& address)
{
    if (!address.empty())
    {
        return dbus::connection::open(io, address);
    }
    sd_bus* bus = nullptr;
    const int r = sd_bus_open(&bus);
    if (r < 0)
    {
        throw dbus::error(r, "sd_bus_open");
    }
    return std::make_shared<dbus::connection>(io, bus);
}

service::service(service_context& ctx, std::string name) :
    name_(std::move(name)), conn_(connect(ctx.io, ctx.address)),
    tree_(conn_, [&log = ctx.log, name = name_](dbus::message& call) {
        log.record(name, call);
    })
{}

void service::own()
{
    conn_->request_name(name_);
}

std::unique_ptr<service> make_service(const std::string& key,
                                      service_context& ctx)
{
    if (key == "entity_manager")
    {
        return std::make_unique<entity_manager>(ctx);
    }
    if (key == "chassis")
    {
        return std::make_unique<chassis>(ctx, key);
    }
    if (key == "board_properties")
    {
        return std::make_unique<board_properties>(ctx, key);
    }
    if (key == "fru")
    {
        return std::make_unique<fru>(ctx, key);
    }
    const std::pair<const char*, peer_def (*)()> simple[] = {
        {"host", host_def},
        {"os", os_def},
        {"chip_info", chip_info_def},
    };
    for (const auto& [name, def] : simple)
    {
        if (key == name)
        {
            return std::make_unique<single_object_peer>(ctx, key, def());
        }
    }
    throw std::invalid_argument("unknown peer \"" + key + "\"");
}

} // namespace simboard::peers
