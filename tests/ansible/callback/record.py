# Writes every task result of a play, per host, to the JSON file $ZORFL_RECORD: the tests read
# what the engine returned, not what the screen shows.
import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'record'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.results = {}

    def _record(self, result, status):
        r = dict(result._result, status=status)
        self.results.setdefault(result._host.get_name(), {})[result._task.get_name()] = r

    def v2_runner_on_ok(self, result):
        self._record(result, 'ok')

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, 'failed')

    def v2_runner_on_skipped(self, result):
        self._record(result, 'skipped')

    def v2_playbook_on_stats(self, stats):
        with open(os.environ['ZORFL_RECORD'], 'w') as f:
            json.dump(self.results, f)
