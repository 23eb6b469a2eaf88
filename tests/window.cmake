# The control window, its toolbar and commands, and the viewer, with real
# widgets offscreen and the simulated recorder as the peer.
find_package(Qt6 REQUIRED COMPONENTS Test)
