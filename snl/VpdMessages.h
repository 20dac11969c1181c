#pragma once

namespace snl {

// The record's own messages. The first is Portuguese and kept in ISO 8859-1 bytes, as the boards'
// tools have always shown it: "Não foi possível identificar interface de comunicação de uma ou
// mais placas!".
inline constexpr const char kInvalidDeviceTypeMessage[] =
    "N\xE3o foi poss\xEDvel identificar interface de comunica\xE7\xE3o de uma ou mais placas!";
inline constexpr const char kFieldErrorMessage[] = "Erro lendo campos do VPD.";

}  // namespace snl
