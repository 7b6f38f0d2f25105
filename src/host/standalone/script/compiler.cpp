// The parser and compiled-code values, and the host's convenience entry points.

#include "evaluator.h"
#include "grammar.h"
#include "heap.h"
#include "values.h"

CodeTree::CodeTree(std::shared_ptr<const host::script::Program> program)
    : Value(&CodeTree_class), program_(std::move(program)) {}

// An evaluation start is a safe point: the code itself is rooted here, and callers keep
// what they hold in frames.
Value* CodeTree::eval() {
  host::script::Rooted keep(this);
  host::script::collect_if_due();
  host::script::Evaluator evaluator;
  Value* result = evaluator.run(*program_);
  return result ? result : &undefined;
}

void CodeTree::sprin1(CharStream* stream) { stream->puts(L"<CodeTree>"); }

Parser::Parser(CharStream* output) : Value(&Parser_class), output_(output) {}

CodeTree* Parser::compile_all(CharStream* source, MAXScript::ScriptSource /*kind*/) {
  if (!source) throw RuntimeError(L"compile_all: no source stream");
  std::wstring text;
  while (!source->at_eos()) text.push_back(source->getch());
  return new CodeTree(host::script::parse_program(text));
}

void Parser::sprin1(CharStream* stream) { stream->puts(L"<Parser>"); }

void Parser::gc_trace() { gc_mark(output_); }

namespace host::script {
namespace {

Value* evaluate_stream(CharStream& source) {
  Parser parser(thread_local_current_stdout());
  CodeTree* code = parser.compile_all(&source, MAXScript::ScriptSource::Dynamic);
  Rooted keep(code);
  return code->eval();
}

bool report(const MAXScriptException& error) {
  CharStream* listener = the_listener();
  listener->puts(printed(error).c_str());
  listener->putch(L'\n');
  return false;
}

}  // namespace

Value* evaluate_text(const std::wstring& text) {
  StringStream source(text);
  return evaluate_stream(source);
}

bool run_text(const std::wstring& text) {
  try {
    evaluate_text(text);
    return true;
  } catch (const MAXScriptException& error) {
    return report(error);
  }
}

bool run_file(const std::wstring& path) {
  try {
    FileStream file;
    if (!file.open(path.c_str(), L"r")) throw RuntimeError(L"Cannot open script file: " + path);
    evaluate_stream(file);
    return true;
  } catch (const MAXScriptException& error) {
    return report(error);
  }
}

std::wstring printed(Value* value) { return print_form(value); }

std::wstring printed(const MAXScriptException& error) {
  StringStream stream;
  error.sprin1(&stream);
  return stream.text();
}

}  // namespace host::script
