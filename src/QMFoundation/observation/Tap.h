#pragma once

#include <concepts>
#include <utility>

/// Calling a block with a value (an extension of any type).
namespace Tap {

/// Calls `block` at once, on the calling thread, with `receiver`; handy to configure an object
/// inside an expression.
template<typename Receiver, typename Block>
requires std::invocable<Block &, Receiver &>
void tap(Receiver &&receiver, Block &&block)
{
    block(receiver);
}

} // namespace Tap
