// Erase and session import are members of the burner component that the
// windows use when the component offers them; with a component built
// without them the commands say that they are not available.
#pragma once

#include "drive/zbDrvLib.h"
#include "image/zbCDBC.h"

#include <cstdint>
#include <functional>
#include <type_traits>

namespace velloran::app {

template <class B>
concept ErasingBurner = requires(B& b) {
  b.Erase(std::uint8_t{1});
  { b.Erasing() } -> std::convertible_to<bool>;
  { b.EraseProgress() } -> std::convertible_to<int>;
  b.OnEraseDone = [](drive::TObject*, bool) {};
};

template <class B>
concept ImportingBurner = requires(B& b, image::TDEntry* root) { b.ImportSession(std::uint8_t{1}, root); };

template <class B>
constexpr bool CanErase(const B&) {
  return ErasingBurner<B>;
}

template <class B>
constexpr bool CanImportSession(const B&) {
  return ImportingBurner<B>;
}

template <class B>
bool BurnerErasing(B& b) {
  if constexpr (ErasingBurner<B>)
    return b.Erasing();
  else
    return false;
}

template <class B>
int BurnerEraseProgress(B& b) {
  if constexpr (ErasingBurner<B>)
    return static_cast<int>(b.EraseProgress());
  else
    return 0;
}

// False when the erase did not start (or the component cannot erase).
template <class B>
bool BurnerErase(B& b, std::uint8_t blankType) {
  if constexpr (ErasingBurner<B>) {
    if constexpr (std::is_void_v<decltype(b.Erase(blankType))>) {
      b.Erase(blankType);
      return true;
    } else {
      return static_cast<bool>(b.Erase(blankType));
    }
  } else {
    return false;
  }
}

template <class B>
void SetEraseDoneHandler(B& b, std::function<void(bool)> handler) {
  if constexpr (ErasingBurner<B>) {
    if (handler)
      b.OnEraseDone = [handler](drive::TObject*, bool withError) { handler(withError); };
    else
      b.OnEraseDone = nullptr;
  }
}

template <class B>
bool BurnerImportSession(B& b, std::uint8_t session, image::TDEntry* root) {
  if constexpr (ImportingBurner<B>) {
    if constexpr (std::is_void_v<decltype(b.ImportSession(session, root))>) {
      b.ImportSession(session, root);
      return true;
    } else {
      return static_cast<bool>(b.ImportSession(session, root));
    }
  } else {
    return false;
  }
}

}  // namespace velloran::app
