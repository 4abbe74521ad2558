// vornik_git.scripts.vornikweave: the command line that git's merge-driver configuration runs.
// Imported, it only binds its three names; executed as the host's main program, it parses the
// paths git hands to a merge driver and makes one call of `merge_files`.
#include <array>

#include "host/module.h"
#include "host/ref.h"

namespace {

using vornik::host::Handle;
using vornik::host::Ref;

constexpr const char* kDescription =
    "Incorporates changers that lead from the <base-file> to <incoming-file> into "
    "<current-file>.";

// `callable(*positional, **keywords)`, the keyword names (`host::intern_tuple`) in the order of
// their values.
template <std::size_t P, std::size_t K>
Ref call_with_keywords(Handle callable, const std::array<Handle, P>& positional,
                       Handle keyword_names, const std::array<Handle, K>& values) {
  std::array<PyObject*, 1 + P + K> argv{};
  for (std::size_t i = 0; i < P; ++i) argv[1 + i] = positional[i].get();
  for (std::size_t i = 0; i < K; ++i) argv[1 + P + i] = values[i].get();
  return vornik::host::check(PyObject_Vectorcall(
      callable, argv.data() + 1, P | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names));
}

void add_option(Handle add_argument, const char* option, Handle type, bool required) {
  call_with_keywords<1, 2>(add_argument, {vornik::host::make_str(option)},
                           vornik::host::intern_tuple({"type", "required"}),
                           {type, required ? Py_True : Py_False});
}

// What the module does when it is the main program: as a script body, its working values stay
// bound in the module's namespace.
void run_command_line(const vornik::host::ModuleBody& body) {
  Ref argparse = body.get("argparse");
  Ref parser = call_with_keywords<0, 1>(vornik::host::getattr(argparse, "ArgumentParser"), {},
                                        vornik::host::intern_tuple({"description"}),
                                        {vornik::host::make_str(kDescription)});
  body.bind("parser", parser);

  Ref add_argument = vornik::host::getattr(parser, "add_argument");
  Handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  add_option(add_argument, "--current-file", str_type, true);
  add_option(add_argument, "--base-file", str_type, true);
  add_option(add_argument, "--incoming-file", str_type, true);
  call_with_keywords<1, 1>(add_argument, {vornik::host::make_str("--file-path")},
                           vornik::host::intern_tuple({"type"}), {str_type});
  call_with_keywords<2, 1>(
      add_argument, {vornik::host::make_str("-v"), vornik::host::make_str("--verbose")},
      vornik::host::intern_tuple({"action"}), {vornik::host::make_str("store_true")});

  Ref args = vornik::host::call(vornik::host::getattr(parser, "parse_args"));
  body.bind("args", args);

  if (vornik::host::is_true(vornik::host::getattr(args, "verbose"))) {
    Ref logging = body.get("logging");
    call_with_keywords<0, 1>(vornik::host::getattr(logging, "basicConfig"), {},
                             vornik::host::intern_tuple({"level"}),
                             {vornik::host::getattr(logging, "DEBUG")});
  }

  Ref file_path = vornik::host::getattr(args, "file_path");
  Ref destination_path = vornik::host::is_true(file_path)
                             ? std::move(file_path)
                             : vornik::host::getattr(args, "current_file");
  body.bind("destination_path", destination_path);

  call_with_keywords<0, 4>(
      body.get("merge_files"), {},
      vornik::host::intern_tuple(
          {"current_file_path", "base_file_path", "incoming_file_path", "file_path"}),
      {vornik::host::getattr(args, "current_file"), vornik::host::getattr(args, "base_file"),
       vornik::host::getattr(args, "incoming_file"), destination_path});
}

void load(const vornik::host::ModuleBody& body) {
  body.import("argparse");
  body.import("logging");
  body.import_from("vornik_git.drivers", {"merge_files"});

  Ref name = vornik::host::check(PyModule_GetNameObject(body.module()));
  int is_main = PyUnicode_CompareWithASCIIString(name.get(), "__main__");
  if (is_main == 0) run_command_line(body);
}

}  // namespace

VORNIK_MODULE(vornikweave, "vornik_git.scripts.vornikweave", .load = load)
