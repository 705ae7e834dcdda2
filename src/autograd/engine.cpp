#include "autograd/engine.hpp"

#include "autograd/context.hpp"
#include "autograd/graph.hpp"
#include "autograd/ops.hpp"

namespace pelor::autograd::engine {

Result<PassReport> run_backward(NodeId root, tensor::storage::Storage seed) {
    graph::Tape& tape = graph::TAPE();
    // Only ids up to the root are ever reached (inputs precede their nodes),
    // so the table stops there: a long tape that was never cleared does not
    // make every pass pay for the nodes above its root.
    context::AutogradContext ctx(tape, root + 1);
    ctx.set_grad(root, std::move(seed));
    // Every input has a smaller id than its node, so when node i is reached
    // all its users have already contributed: its slot is complete.
    for (NodeId i = root + 1; i-- > 0;) {
        if (i >= ctx.grads.size() || !ctx.grads[i]) continue;
        tensor::storage::Storage g = std::move(*ctx.grads[i]);
        ctx.grads[i].reset();
        if (auto r = tape.node(i).backward(ctx, g); !r) return std::unexpected(std::move(r.error()));
        ctx.set_grad(i, std::move(g));
    }
    for (NodeId i = 0; i < ctx.grads.size(); ++i) {
        if (ctx.grads[i]) tape.set_grad(i, std::move(*ctx.grads[i]));
    }
    return PassReport{ctx.met(graph::ConstantLeaf::cleared), ctx.met(graph::ConstantLeaf::foreign)};
}

}  // namespace pelor::autograd::engine
