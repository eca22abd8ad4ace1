"""`vorn ros2`: a ROS 2 node (default name vorn) publishing a port's stream,
or a recording replayed, through vorn.ros2's Publisher, with its health on
/diagnostics about once a second.

Its settings are ROS parameters, declared with the command's options as their
defaults, so that `--ros-args -p frame_id:=imu_left` (or a launch file's
parameters) override them and `ros2 param list` lists them: frame_id, frame,
stamps, lookahead, baud, reliability. Remaps, __ns and __node work as for any
ROS 2 node.
"""

from __future__ import annotations

import os
import threading
import time
from dataclasses import dataclass, field

from vorn.ros2 import Diagnostics, Publisher, require_rclpy
from vorn.ros_messages import DEFAULT_FRAME_ID

NODE_NAME = "vorn"
DIAGNOSTICS_EVERY = 1.0  # s
POLL = 0.1  # s a read waits at most, so that diagnostics go out while the line is quiet
PARAMETERS = ("frame_id", "frame", "stamps", "lookahead", "baud", "reliability")


@dataclass
class Settings:
    """What the command's options give; the ROS parameters may override the
    ones PARAMETERS names."""

    source: str
    replay: bool = False
    pace: float = 1.0
    frame_id: str = DEFAULT_FRAME_ID
    frame: str = "rep103"
    stamps: str = "sample"
    lookahead: float = 0.0
    baud: int = 921600
    reliability: str = "reliable"
    noise: str | None = None
    reconnect: bool = False
    record: str | None = None
    force: bool = False
    ros_args: list[str] = field(default_factory=list)


@dataclass
class Outcome:
    node: str = ""
    packets: int = 0
    messages: int = 0
    seconds: float = 0.0
    ended: bool = False  # the replay reached its end
    publishing: bool = False  # the stream was open and the node publishing
    reconnections: int = 0


def port_gone(path: str) -> bool:
    """Whether the port's device has left (unplugged, its far end closed)."""
    return not os.path.exists(path)


def run(settings: Settings, started=None, outcome: Outcome | None = None) -> Outcome:
    """Publishes until the stream ends (a replay), fails (OSError: a hang-up
    without reconnect) or the caller's signal handler raises. started(node
    name, topics, settings) is called once publishing begins."""
    rclpy = require_rclpy()
    from rclpy.executors import SingleThreadedExecutor
    from rclpy.signals import SignalHandlerOptions

    import vorn

    out = outcome or Outcome()
    context = rclpy.context.Context()
    # The command's own handlers take Ctrl-C and SIGTERM.
    rclpy.init(
        args=["vorn", "--ros-args", *settings.ros_args], context=context, signal_handler_options=SignalHandlerOptions.NO
    )
    executor = node = spinner = None
    begun = time.monotonic()
    try:
        node = rclpy.create_node(NODE_NAME, context=context)
        from rcl_interfaces.msg import ParameterDescriptor, SetParametersResult

        for name in PARAMETERS:
            default = getattr(settings, name)
            # A number of seconds may be given as a whole one (lookahead:=0).
            descriptor = ParameterDescriptor(dynamic_typing=isinstance(default, float))
            try:
                value = node.declare_parameter(name, default, descriptor).value
                setattr(settings, name, type(default)(value))
            except Exception as e:  # rclpy's own: a value of another type
                raise ValueError(f"parameter {name}: {e}") from None

        def refuse(params):
            return SetParametersResult(successful=False, reason="read at start: restart the node to change it")

        node.add_on_set_parameters_callback(refuse)
        publisher = Publisher(
            node,
            frame_id=settings.frame_id,
            frame=settings.frame,
            noise=settings.noise,
            stamps=settings.stamps,
            reliability=settings.reliability,
        )
        # The parameter services answer from a thread of their own.
        executor = SingleThreadedExecutor(context=context)
        executor.add_node(node)
        spinner = threading.Thread(target=executor.spin, name="vorn-ros2-spin", daemon=True)
        spinner.start()
        if settings.replay:
            stream = vorn.open(settings.source, settings.baud, pace=settings.pace or False)
        else:
            stream = vorn.open(
                settings.source,
                settings.baud,
                reconnect=settings.reconnect,
                lookahead=settings.lookahead,
                record=settings.record,
                force=settings.force,
            )
        out.node = node.get_fully_qualified_name()
        with stream:
            out.publishing = True
            diagnostics = Diagnostics(node, settings.source, stream)
            if started is not None:
                started(out.node, publisher.topics, settings)
            due = time.monotonic() + DIAGNOSTICS_EVERY
            while True:
                try:
                    batch = stream.read(timeout=POLL)
                except OSError as e:
                    diagnostics.lost_port(e.strerror or str(e))
                    diagnostics.publish()
                    raise
                if batch.num_rows or batch.gap is not None:
                    publisher.publish(batch)
                    diagnostics.add(batch)
                    out.packets, out.messages = publisher.packets, publisher.messages
                    out.reconnections = diagnostics.gaps
                elif (
                    not settings.replay
                    and settings.reconnect
                    and diagnostics.port_state == "open"
                    and port_gone(settings.source)
                ):
                    diagnostics.lost_port("unplugged")
                if stream.ended and not batch.num_rows:
                    out.ended = True
                    diagnostics.publish()
                    break
                if time.monotonic() >= due:
                    diagnostics.publish()
                    due = max(due + DIAGNOSTICS_EVERY, time.monotonic())
    finally:
        out.seconds = time.monotonic() - begun
        if executor is not None:
            executor.shutdown(timeout_sec=1.0)
        if spinner is not None:
            spinner.join(timeout=1.0)
        if node is not None:
            node.destroy_node()
        context.try_shutdown()
    return out
