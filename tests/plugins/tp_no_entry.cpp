// tp_no_entry: a valid shared library that loads fine but exports no
// create_manager, only an unrelated symbol.
extern "C" __attribute__((visibility("default"))) const int tp_no_entry_marker = 1;
