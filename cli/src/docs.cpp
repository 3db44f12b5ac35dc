#include "docs.h"

#include <algorithm>
#include <sstream>

namespace pelkar::cli {
namespace {

// Text as troff shows it: backslashes and dashes literal, no line taken as a request.
std::string Roff(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  std::string safe;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) safe += "\\&";
    safe += line + "\n";
  }
  return safe;
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
  // The hidden ones (group "") are the build's, not the user's.
  return app.get_subcommands([](const CLI::App* c) { return !c->get_group().empty(); });
}

std::vector<const CLI::Option*> Options(const CLI::App& command) {
  return command.get_options([](const CLI::Option* o) {
    return !o->get_group().empty() && o->get_name() != "--help-all";
  });
}

// Flags have no type name.
bool TakesValue(const CLI::Option* o) {
  return !o->get_type_name().empty();
}

// "FLOAT:SECONDS" and "INT:INT in [200 - 255]" read as the type alone.
std::string Type(const CLI::Option* o) {
  const std::string t = o->get_type_name();
  return t.substr(0, t.find(':'));
}

std::string Usage(const CLI::App& command) {
  std::string line;
  for (const CLI::Option* o : Options(command)) {
    if (o->get_name() == "--help") continue;
    std::string part = o->get_positional() ? o->get_name(true) : o->get_name(false, false);
    if (!o->get_positional() && TakesValue(o)) part += " " + Type(o);
    line += (line.empty() ? "" : " ") + (o->get_required() ? part : "[" + part + "]");
  }
  return line;
}

}  // namespace

void WriteManPage(const CLI::App& app, const std::string& version, std::ostream& out) {
  out << ".TH PELKAR1 1 \"\" \"pelkar1 " << version << "\" \"User Commands\"\n"
      << ".SH NAME\npelkar1 \\- " << Roff(app.get_description().substr(10)) << ".SH SYNOPSIS\n";
  for (const CLI::App* c : Commands(app)) {
    out << ".B pelkar1 " << c->get_name() << "\n" << Roff(Usage(*c)) << ".br\n";
  }
  out << ".SH DESCRIPTION\n"
      << Roff(
             "pelkar1 lists serial ports, sends firmware to one or several devices at once "
             "(unit after unit on a production line), encodes Intel HEX builds into image "
             "files, shows an image's checksum, converts HEX and binary files, and offers a "
             "simulated device for trying all of it without hardware.")
      << ".SH COMMANDS\n";
  for (const CLI::App* c : Commands(app)) {
    out << ".SS \"pelkar1 " << c->get_name() << "\"\n" << Roff(c->get_description());
    for (const CLI::Option* o : Options(*c)) {
      std::string name = o->get_positional() ? o->get_name(true) : o->get_name(false, true);
      if (!o->get_positional() && TakesValue(o)) name += " " + Type(o);
      out << ".TP\n.B " << Roff(name) << Roff(o->get_description());
    }
    if (!c->get_footer().empty()) {
      std::istringstream paragraphs(c->get_footer());
      for (std::string p; std::getline(paragraphs, p);) {
        if (!p.empty()) out << ".PP\n" << Roff(p);
      }
    }
  }
  out << ".SH FILES\n.TP\n.B /dev/serial/by\\-id/\n"
      << Roff(
             "Stable names of USB serial adapters; --port takes them, or the adapter's serial "
             "number alone.")
      << ".TP\n.B /run/user/UID/pelkar1/COMn\n"
      << Roff(
             "Virtual ports of simulated devices (COM200 and up); /tmp/pelkar1\\-UID where "
             "/run/user/UID is not there.")
      << ".SH NETWORK PORTS\n"
      << Roff(
             "--port rfc2217://HOST:PORT reaches a serial port on a network serial server (a "
             "device server, or ser2net) over Telnet with the COM port control option (RFC "
             "2217): the line is set to 115200 8N1 without flow control and the server's queues "
             "are purged when the port opens. --port socket://HOST:PORT is raw TCP, the line "
             "set up at the server. HOST is a name, an IPv4 address or an IPv6 address in "
             "brackets ([::1]). A server that refuses or cannot be reached within 3 seconds is "
             "a port that cannot be opened (exit 3); a connection that drops is a lost port, "
             "which --repeat reconnects when the server accepts again. ser2net holds the "
             "device's bytes a few milliseconds by default; give the connection \"chardelay: "
             "false\" under its options for full speed.")
      << ".SH EXAMPLES\n.nf\n"
      << Roff(
             "pelkar1 ports\n"
             "pelkar1 update --port 33 firmware.hex\n"
             "pelkar1 update --repeat --log line.jsonl --port 33 --port 34 firmware.hex\n"
             "pelkar1 update --port rfc2217://fixture-1.line:4001 firmware.hex\n"
             "jq -r 'select(.result != \"ok\") | [.time, .port, .message] | @tsv' line.jsonl\n"
             "pelkar1 simulate --next-unit-ms 1000 --text-after booted\n"
             "pelkar1 simulate --on /dev/ttyUSB1 --baud 115200 --flash-ms 5")
      << ".fi\n";
}

void WriteBashCompletion(const CLI::App& app, std::ostream& out) {
  std::string commands;
  for (const CLI::App* c : Commands(app))
    commands += c->get_name() + " ";
  for (const CLI::Option* o : Options(app))
    commands += o->get_name(false, true) + " ";
  std::replace(commands.begin(), commands.end(), ',', ' ');
  out << "# bash completion for pelkar1; written by `pelkar1 docs bash-completion`.\n"
      << "_pelkar1() {\n"
      << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= i opts=\n"
      << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "    case ${COMP_WORDS[i]} in -*) ;; *) cmd=${COMP_WORDS[i]}; break ;; esac\n"
      << "  done\n"
      << "  if [[ -z $cmd ]]; then\n"
      << "    COMPREPLY=($(compgen -W \"" << commands << "\" -- \"$cur\"))\n"
      << "    return\n"
      << "  fi\n"
      << "  case $cmd in\n";
  for (const CLI::App* c : Commands(app)) {
    if (c->get_name() == "help") continue;
    std::string names;
    std::string ports;
    std::string files;
    std::string values;
    for (const CLI::Option* o : Options(*c)) {
      if (o->get_positional()) continue;
      std::string all = o->get_name(false, true);
      std::replace(all.begin(), all.end(), ',', ' ');
      names += all + " ";
      if (!TakesValue(o)) continue;
      std::replace(all.begin(), all.end(), ' ', '|');
      const std::string type = Type(o);
      (o->get_name() == "--port"                            ? ports
       : type == "TEXT" || type == "FILE" || type == "PATH" ? files
                                                            : values) += (all + "|");
    }
    out << "    " << c->get_name() << ")\n"
        << "      opts=\"" << names << "\"\n"
        << "      case $prev in\n";
    if (!ports.empty()) {
      ports.pop_back();
      out << "        " << ports
          << ") COMPREPLY=($(compgen -W \"$(pelkar1 ports --json 2>/dev/null | "
             "sed -n 's/.*\"port\": *\\([0-9]*\\).*/\\1/p') rfc2217:// socket://\" -- "
             "\"$cur\")); return ;;\n";
    }
    if (!files.empty()) {
      files.pop_back();
      out << "        " << files << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    }
    if (!values.empty()) {
      values.pop_back();
      out << "        " << values << ") return ;;\n";
    }
    out << "      esac\n      ;;\n";
  }
  out << "    help) COMPREPLY=($(compgen -W \"" << commands << "\" -- \"$cur\")); return ;;\n"
      << "  esac\n"
      << "  if [[ $cur == -* ]]; then\n"
      << "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
      << "  else\n"
      << "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "  fi\n"
      << "}\n"
      << "complete -o filenames -F _pelkar1 pelkar1\n";
}

}  // namespace pelkar::cli
