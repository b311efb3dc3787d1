"""Hardware-free test bench for ftbridge: simulated sensor, simulated RTDE
controller, and a namespace sandbox to run the real daemon against them."""
