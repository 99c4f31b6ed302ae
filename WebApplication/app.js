// The plug-in's page: every change goes through the REST API under "../api/".

(function() {
  'use strict';

  var TEST_IDLE = 'idle';
  var TEST_WAITING = 'waiting';
  var TEST_SUCCESS = 'success';
  var TEST_FAILURE = 'failure';

  var REFRESH_MS = 2000;

  var HEALTH = {
    ok: { colour: 'success', text: 'Delivering' },
    retrying: { colour: 'warning', text: 'Retrying' },
    attention: { colour: 'danger', text: 'Needs attention' },
    disconnected: { colour: 'secondary', text: 'Not connected' }
  };

  function formatDuration(seconds) {
    if (seconds < 60) {
      return Math.max(1, Math.round(seconds)) + ' s';
    }
    if (seconds < 3600) {
      return Math.round(seconds / 60) + ' min';
    }
    return (seconds / 3600).toFixed(1) + ' h';
  }

  function getJson(url) {
    // The status changes behind the browser's back: never answer from its cache.
    return $.ajax({ url: url, type: 'GET', dataType: 'json', cache: false });
  }

  function postJson(url, body, answerType) {
    return $.ajax({
      url: url,
      type: 'POST',
      data: JSON.stringify(body),
      contentType: 'application/json',
      processData: false,
      dataType: answerType
    });
  }

  function postEmpty(url) {
    return $.ajax({ url: url, type: 'POST', dataType: 'text' });
  }

  new Vue({
    el: '#app',

    data: {
      ready: false,
      sections: [
        { id: 'destination', title: 'Destination', icon: 'fa-cloud-upload' },
        { id: 'options', title: 'Options', icon: 'fa-sliders' },
        { id: 'actions', title: 'Actions', icon: 'fa-bolt' },
        { id: 'statistics', title: 'Statistics', icon: 'fa-bar-chart' },
        { id: 'anonymization', title: 'Anonymization', icon: 'fa-user-secret' }
      ],
      currentSection: 'destination',

      status: {},
      kinds: [],               // { key, description, primary, id }, in the server's order
      kindParameters: {},      // key of a kind -> its parameters, each with an element id
      selectedRadio: '',       // key of a primary kind, or '' for "Quelby partners"
      selectedPartner: '',     // key of a partner kind picked in the drop-down
      parameters: {},          // what the user typed, shared by every kind, plus "id"

      testState: TEST_IDLE,
      testError: '',
      testRequest: 0,          // answers of an abandoned test are ignored

      automatedRouting: false,
      automatedDeletion: false,
      optionsEdited: false,
      optionsError: false,

      delivery: null,          // the answer of "../api/delivery"
      replayStart: null,       // { time, scanned } when the page first saw the running replay
      refreshTimer: null
    },

    computed: {
      primaryKinds: function() {
        return this.kinds.filter(function(kind) { return kind.primary; });
      },

      partnerKinds: function() {
        return this.kinds.filter(function(kind) { return !kind.primary; });
      },

      chosenKind: function() {
        return this.selectedRadio !== '' ? this.selectedRadio : this.selectedPartner;
      },

      healthColour: function() {
        return (HEALTH[this.delivery.Health] || HEALTH.disconnected).colour;
      },

      healthText: function() {
        return (HEALTH[this.delivery.Health] || HEALTH.disconnected).text;
      },

      rateText: function() {
        return this.delivery.RateMBps.toFixed(1) + ' MB/s, ' + this.delivery.DeliveredInstances + ' delivered';
      },

      replayPercent: function() {
        var replay = this.delivery.Replay;
        return replay.Last > 0 ? Math.min(100, Math.round(100 * replay.Scanned / replay.Last)) : 0;
      },

      // From the pace seen since the page first saw this replay.
      replayEta: function() {
        var replay = this.delivery.Replay;
        var start = this.replayStart;
        if (!start || replay.Scanned <= start.scanned || replay.Last <= replay.Scanned) {
          return null;
        }
        var pace = (replay.Scanned - start.scanned) / ((Date.now() - start.time) / 1000);
        return formatDuration((replay.Last - replay.Scanned) / pace);
      },

      activeServerDetails: function() {
        var server = this.status.ActiveServer || {};
        return Object.keys(server)
          .filter(function(name) { return name !== 'Description'; })
          .map(function(name) { return { name: name, value: server[name] }; });
      }
    },

    watch: {
      // A new service invalidates the last test; a new partner in the list does not.
      selectedRadio: function() {
        this.resetTest();
      }
    },

    methods: {
      parametersOf: function(key) {
        return this.kindParameters[key] || [];
      },

      setParameter: function(key, value) {
        this.$set(this.parameters, key, value);
      },

      resetTest: function() {
        this.testRequest++;
        this.testState = TEST_IDLE;
        this.testError = '';
      },

      loadStatus: function() {
        var that = this;
        return getJson('../api/status')
          .done(function(status) {
            that.status = status;
            // The refresh every few seconds must not undo a choice not applied yet.
            if (!that.optionsEdited) {
              that.automatedRouting = status.AutomatedRouting === true;
              that.automatedDeletion = status.AutomatedDeletion === true;
            }
          })
          .fail(function() {
            that.status = { error: true };
          });
      },

      loadDelivery: function() {
        var that = this;
        return getJson('../api/delivery')
          .done(function(delivery) {
            if (delivery.Replay && !that.replayStart) {
              that.replayStart = { time: Date.now(), scanned: delivery.Replay.Scanned };
            } else if (!delivery.Replay) {
              that.replayStart = null;
            }
            that.delivery = delivery;
          });
      },

      // Both refresh by themselves while the page is seen, not in a hidden tab.
      refresh: function() {
        if (document.visibilityState !== 'hidden') {
          this.loadStatus();
          this.loadDelivery();
        }
      },

      retryFailed: function() {
        var that = this;
        postEmpty('../api/retry-failed')
          .always(function() {
            that.loadDelivery();
          });
      },

      loadDestinations: function() {
        var that = this;
        return getJson('../api/destinations')
          .done(function(destinations) {
            var kinds = [];
            var kindParameters = {};
            var counter = 0;
            var firstPrimary = null;

            destinations.forEach(function(destination, index) {
              kindParameters[destination.key] = (destination.parameters || []).map(function(parameter) {
                return {
                  key: parameter.key,
                  name: parameter.name,
                  placeholder: parameter.placeholder,
                  type: parameter.type,
                  id: 'form-parameter-' + (counter++)
                };
              });

              kinds.push({
                key: destination.key,
                description: destination.description,
                primary: destination.primary === true,
                id: 'form-destination-' + index
              });

              if (destination.primary === true && firstPrimary === null) {
                firstPrimary = destination.key;
              }
            });

            that.kinds = kinds;
            that.kindParameters = kindParameters;
            that.selectedRadio = (firstPrimary === null ? '' : firstPrimary);
            that.ready = true;
          })
          .fail(function() {
            alert('Internal error, cannot load the plugin');
          });
      },

      testConnection: function() {
        if (this.testState === TEST_WAITING || !this.chosenKind) {
          return;
        }

        var that = this;
        var request = ++this.testRequest;
        this.setParameter('id', this.chosenKind);
        this.testState = TEST_WAITING;
        this.testError = '';

        postJson('../api/test-connection', this.parameters, 'json')
          .done(function(answer) {
            if (request !== that.testRequest) {
              return;
            }
            if (answer && answer.success === true) {
              that.testState = TEST_SUCCESS;
            } else {
              that.testState = TEST_FAILURE;
              that.testError = (answer && typeof answer.error === 'string') ? answer.error : '';
            }
            that.loadDelivery();   // the cause of a failed test
          })
          .fail(function() {
            if (request === that.testRequest) {
              that.testState = TEST_FAILURE;
            }
          });
      },

      connect: function() {
        if (this.testState !== TEST_SUCCESS || !this.chosenKind) {
          return;
        }

        var that = this;
        this.setParameter('id', this.chosenKind);
        postJson('../api/connect', this.parameters, 'text')
          .done(function() {
            that.loadStatus();
            that.loadDelivery();
            that.resetTest();
          });
      },

      disconnect: function() {
        var that = this;
        postEmpty('../api/disconnect')
          .always(function() {
            that.loadStatus();
          });
      },

      applyOptions: function() {
        var that = this;
        postJson('../api/options', {
          AutomatedRouting: this.automatedRouting,
          AutomatedDeletion: this.automatedDeletion
        }, 'text')
          .done(function() {
            that.optionsError = false;
            that.optionsEdited = false;
          })
          .fail(function() {
            that.optionsError = true;
          });
      },

      // The side bar marks the section at the top of the window.
      followScroll: function() {
        var current = this.sections[0].id;
        var atBottom = window.innerHeight + window.pageYOffset >= document.body.scrollHeight - 2;
        this.sections.forEach(function(section) {
          var element = document.getElementById(section.id);
          if (element && (atBottom || element.getBoundingClientRect().top <= 120)) {
            current = section.id;
          }
        });
        this.currentSection = current;
      },

      runAction: function(url) {
        var that = this;
        postEmpty(url)
          .done(function() {
            that.loadStatus();
          })
          .fail(function() {
            alert('Error during the action');
          });
      }
    },

    mounted: function() {
      this.loadStatus();
      this.loadDelivery();
      this.loadDestinations();
      window.addEventListener('scroll', this.followScroll, { passive: true });
      this.refreshTimer = window.setInterval(this.refresh, REFRESH_MS);
    },

    beforeDestroy: function() {
      window.removeEventListener('scroll', this.followScroll);
      window.clearInterval(this.refreshTimer);
    }
  });
})();
