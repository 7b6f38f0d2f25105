// The globals table.

#include "builtins.h"
#include "heap.h"

GlobalTable::GlobalTable() {
  for (Primitive* function : paravelle::host::script::builtin_functions())
    table_[Name::intern(function->name())] = function;
  table_[Name::intern(L"options")] = paravelle::host::script::options_value();
}

Value* GlobalTable::get(Value* name) const {
  if (!name || !name->is_kind_of(&Name_class)) return nullptr;
  std::lock_guard lock(mutex_);
  const auto found = table_.find(static_cast<Name*>(name));
  return found == table_.end() ? nullptr : found->second;
}

// A key that is not a Name would never be found again; refuse it loudly.
void GlobalTable::set(Value* name, Value* value) {
  if (!name || !name->is_kind_of(&Name_class)) throw RuntimeError(L"Global variable names must be Names");
  std::lock_guard lock(mutex_);
  table_[static_cast<Name*>(name)] = value ? value : &undefined;
}

void GlobalTable::put_new(Value* name, Value* value) { set(name, value); }

void GlobalTable::remove(Value* name) {
  if (!name || !name->is_kind_of(&Name_class)) return;
  std::lock_guard lock(mutex_);
  table_.erase(static_cast<Name*>(name));
}

namespace {
GlobalTable& the_globals() {
  static auto* table = new GlobalTable;  // never destroyed: values outlive static destruction
  return *table;
}
}  // namespace

GlobalTable* const globals = &the_globals();
