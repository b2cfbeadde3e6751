// The `vop` table of the configuration script (internal to the Lua configuration).
#pragma once

struct lua_State;

namespace vop {

class SharedLuaState;

namespace lua_api {

// Builds the `vop` table and sets it as the global `vop`. A lua_CFunction for lua_pcall:
// argument 1 is a light userdata pointing at the SharedLuaState the functions write to,
// which must outlive the interpreter's use of them. Raises on failure.
int install(lua_State* L);

// Adds the ready-made action tables and the action constructors to the table at `table`.
// Raises on failure (only when memory runs out).
void register_actions(lua_State* L, int table);

}  // namespace lua_api
}  // namespace vop
