// The example configuration written as init.lua on first start.
#include "config/lua.hpp"

namespace vop {

namespace {

constexpr std::string_view kDefaultConfig = R"LUA(-- vop default configuration
-- Copy to ~/.config/vop/init.lua to customize
--
-- This file is plain Lua. The global table `vop` is the window manager's API:
--   vop.set(key, value)         change one setting
--   vop.bind(chord, action)     bind a key chord to an action table or a Lua function
--   vop.rule(match, actions)    place or float windows by class, instance or title
--   vop.picom_rule(rule)        per-window compositor settings
--   vop.exec(cmd)               run a shell command now
--   vop.exec_once(cmd)          run a shell command once per session (not again on reload)
-- Reload with mod+shift+r after editing; errors are written to /tmp/vop.log.

---------------------------------------------------------------------------
-- Autostart
---------------------------------------------------------------------------
-- vop.exec_once("nm-applet")
-- vop.exec_once("dunst")
-- vop.exec_once("feh --bg-fill ~/Pictures/wallpaper.png")

---------------------------------------------------------------------------
-- Appearance
---------------------------------------------------------------------------
-- Integers are whole numbers (8, not 8.0); opacities and durations are
-- decimals (1.0, not 1); colours are "#rrggbb" texts.
vop.set("border_width", 2)
vop.set("border_color_focused", "#5294e2")
vop.set("border_color_unfocused", "#2d2d2d")
-- vop.set("border_color_urgent", "#ff5555")
vop.set("gap_inner", 8)
vop.set("gap_outer", 8)

-- Title bars above every window:
-- vop.set("titlebar_enabled", true)
-- vop.set("titlebar_height", 20)
-- vop.set("titlebar_color_focused", "#3d3d3d")
-- vop.set("titlebar_color_unfocused", "#2d2d2d")
-- vop.set("titlebar_text_color", "#ffffff")

-- Border gradients:
-- vop.set("border_gradient_enabled", true)
-- vop.set("border_gradient_direction", "vertical")  -- "vertical", "horizontal", "diagonal"
-- vop.set("border_gradient_start_focused", "#5294e2")
-- vop.set("border_gradient_end_focused", "#1a5fb4")

---------------------------------------------------------------------------
-- Compositor (picom; vop writes ~/.config/vop/picom.conf from these)
---------------------------------------------------------------------------
-- vop.set("corner_radius", 12)                -- 0 gives square corners
-- vop.set("blur_enabled", true)
-- vop.set("blur_method", "dual_kawase")        -- "gaussian", "dual_kawase", "box"
-- vop.set("blur_strength", 5)
-- vop.set("shadow_enabled", true)
-- vop.set("shadow_radius", 12)
-- vop.set("shadow_opacity", 0.75)
-- vop.set("shadow_offset_x", -7)
-- vop.set("shadow_offset_y", -7)
-- vop.set("fade_enabled", true)
-- vop.set("fade_delta", 10)
-- vop.set("opacity_focused", 1.0)
-- vop.set("opacity_unfocused", 0.95)

-- Animations:
-- vop.set("animation_open", "slide-in")        -- "slide-in", "fly-in", "appear", "none"
-- vop.set("animation_close", "slide-out")      -- "slide-out", "fly-out", "disappear", "none"
-- vop.set("animation_duration", 0.2)

-- A custom window shader:
-- vop.set("picom_shader", "~/.config/vop/shaders/grayscale.glsl")

-- Per-window compositor rules:
-- vop.picom_rule({ match = "class_g = 'Alacritty'", opacity = 0.9, blur_background = true })
-- vop.picom_rule({ match = "window_type = 'dock'", corner_radius = 0, shadow = false })

---------------------------------------------------------------------------
-- Behaviour
---------------------------------------------------------------------------
-- Moving a window to another workspace also switches to that workspace.
vop.set("follow_window_on_move", true)

-- Window rules: every given pattern must appear in the window's class,
-- instance or title (ignoring case); later rules win.
-- vop.rule({ class = "pavucontrol" }, { floating = true })
-- vop.rule({ class = "firefox" }, { workspace = 2 })

-- Status bar: a `vop.bar` table starts vopbar and reserves room for it.
-- vop.bar = { height = 30 }

---------------------------------------------------------------------------
-- Key bindings
---------------------------------------------------------------------------
-- Chords are modifier words and one key joined by "+", in any letter case.
-- Modifiers: mod (super), shift, ctrl, alt. Keys: a-z, 0-9, f1-f12, Return,
-- Escape, Tab, space, Left/Right/Up/Down, Home, End, comma, period, grave...
local mod = "mod"

vop.bind(mod .. "+Return", function()
    vop.exec("alacritty || kitty || foot || xterm")
end)
vop.bind(mod .. "+q", vop.close_window)
vop.bind(mod .. "+shift+r", vop.reload)
vop.bind(mod .. "+shift+Escape", vop.exit)

-- Focus, move and resize with the arrow keys or h/j/k/l.
local directions = {
    { "Left", "h", "left" },
    { "Right", "l", "right" },
    { "Up", "k", "up" },
    { "Down", "j", "down" },
}
for _, d in ipairs(directions) do
    vop.bind(mod .. "+" .. d[1], vop.focus(d[3]))
end
for _, d in ipairs(directions) do
    vop.bind(mod .. "+" .. d[2], vop.focus(d[3]))
end
for _, d in ipairs(directions) do
    vop.bind(mod .. "+shift+" .. d[1], vop.swap(d[3]))
end
for _, d in ipairs(directions) do
    vop.bind(mod .. "+shift+" .. d[2], vop.swap(d[3]))
end
for _, d in ipairs(directions) do
    vop.bind(mod .. "+ctrl+" .. d[1], vop.resize(d[3], 0.05))
end
for _, d in ipairs(directions) do
    vop.bind(mod .. "+ctrl+" .. d[2], vop.resize(d[3], 0.05))
end

vop.bind(mod .. "+e", vop.equalize)
vop.bind(mod .. "+f", vop.toggle_floating)
vop.bind(mod .. "+shift+f", vop.toggle_fullscreen)
vop.bind(mod .. "+grave", vop.cycle_floating)

-- Workspaces 1 to 10: mod+N shows one, mod+shift+N moves the window there.
for i = 1, 9 do
    vop.bind(mod .. "+" .. i, vop.workspace(i))
    vop.bind(mod .. "+shift+" .. i, vop.move_to_workspace(i))
end
vop.bind(mod .. "+0", vop.workspace(10))
vop.bind(mod .. "+shift+0", vop.move_to_workspace(10))

-- Monitors.
vop.bind(mod .. "+comma", vop.focus_monitor("prev"))
vop.bind(mod .. "+period", vop.focus_monitor("next"))
vop.bind(mod .. "+shift+comma", vop.move_to_monitor("prev"))
vop.bind(mod .. "+shift+period", vop.move_to_monitor("next"))

-- Launchers: any Lua function can be bound.
local function run(cmd)
    return function()
        vop.exec(cmd)
    end
end
vop.bind(mod .. "+space", run("rofi -show drun -show-icons"))
vop.bind(mod .. "+Tab", run("rofi -show window -show-icons"))
vop.bind(mod .. "+r", run("rofi -show run"))
vop.bind(mod .. "+p", run("dmenu_run"))

-- Screenshots.
-- Print and the XF86 media keys below are not among the key names vop
-- understands yet: these lines are refused with a warning and skipped.
vop.bind("Print", run("scrot ~/Pictures/screenshot-%Y%m%d-%H%M%S.png || maim ~/Pictures/screenshot-$(date +%Y%m%d-%H%M%S).png"))
vop.bind(mod .. "+Print", run("scrot -s ~/Pictures/screenshot-%Y%m%d-%H%M%S.png || maim -s ~/Pictures/screenshot-$(date +%Y%m%d-%H%M%S).png"))

-- Lock the screen.
vop.bind(mod .. "+Escape", run("i3lock -c 000000 || swaylock -c 000000 || slock"))

-- Volume and brightness keys.
vop.bind("XF86AudioRaiseVolume", run("pactl set-sink-volume @DEFAULT_SINK@ +5% || pamixer -i 5"))
vop.bind("XF86AudioLowerVolume", run("pactl set-sink-volume @DEFAULT_SINK@ -5% || pamixer -d 5"))
vop.bind("XF86AudioMute", run("pactl set-sink-mute @DEFAULT_SINK@ toggle || pamixer -t"))
vop.bind("XF86MonBrightnessUp", run("brightnessctl set +10% || light -A 10"))
vop.bind("XF86MonBrightnessDown", run("brightnessctl set 10%- || light -U 10"))
)LUA";

}  // namespace

std::string_view default_config_text() { return kDefaultConfig; }

}  // namespace vop
