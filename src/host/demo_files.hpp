// The file the demo turns read: the same in `kestravel replay`'s demo and in the demo agent.
#pragma once

namespace orvo::host {

inline constexpr const char* kDemoConfigFile =
    "import os\n"
    "from dataclasses import dataclass\n"
    "\n"
    "\n"
    "@dataclass\n"
    "class Config:\n"
    "    host: str = \"127.0.0.1\"\n"
    "    port: int = 8080\n"
    "    retries: int = 3\n"
    "\n"
    "\n"
    "def load() -> Config:\n"
    "    port = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "    return Config(port=port)\n";

}  // namespace orvo::host
